#pragma once
// At most one errors bubble on the screen. An engine that shows the errors of
// its run listens on a socket named after the user and home; a newer run
// connects to it (a session socket, SessionSocket.h), which asks that engine
// to end, and waits until it has gone. The one asking sends when its
// run started: an older run that comes to show its errors only after a newer
// one already does is told to end instead, so the newer run's errors stay.

#include "Result.h"
#include "UniqueFd.h"

#include <QByteArray>
#include <QObject>
#include <chrono>

class QSocketNotifier;

namespace cv::engine {

class ErrorsHandOver : public QObject
{
    Q_OBJECT
public:
    // The address is made from the user id and home. runStarted orders the
    // runs (nanoseconds of the boot-time clock; by default now).
    explicit ErrorsHandOver(QObject *parent = nullptr, qint64 runStarted = -1);

    // Starts listening (once). An earlier engine still listening is ended
    // first; when the one listening has the newer run, this one does not
    // listen and endRequested follows (queued). Fails when the socket cannot
    // be set up.
    cv::Result<void> listen();
    bool listening() const { return m_listening.valid(); }

    // Asks the engine listening for this user and home, if any, to end, and
    // waits until it has (at most `wait`). True when one was there.
    bool endEarlierEngine(std::chrono::milliseconds wait) const;

signals:
    // A newer run asked this engine to end.
    void endRequested();

private:
    enum class Asked { NoneThere, Ended, ItIsNewer };
    Asked askToEnd(std::chrono::milliseconds wait) const;
    void accept();

    QByteArray m_address; // the session socket's name
    qint64 m_runStarted = 0;
    cv::UniqueFd m_listening;
    QSocketNotifier *m_notifier = nullptr;
};

} // namespace cv::engine
