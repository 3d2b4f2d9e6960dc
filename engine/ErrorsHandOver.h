#pragma once
// At most one errors bubble on the screen. An engine that shows the errors of
// its run listens on a socket named after the user and home; a newer run
// connects to it, which asks that engine to end, and waits until it has gone.
// The socket is in the abstract namespace (no file to leave behind), and both
// ends check that the other is the same user. The one asking sends when its
// run started: an older run that comes to show its errors only after a newer
// one already does is told to end instead, so the newer run's errors stay.

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
    ~ErrorsHandOver() override;

    // Starts listening (once). An earlier engine still listening is ended
    // first; when the one listening has the newer run, endRequested follows
    // instead (queued). False when not listening.
    bool listen();
    bool listening() const { return m_listenFd >= 0; }

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

    QByteArray m_address; // sun_path bytes, starting with the NUL byte
    qint64 m_runStarted = 0;
    int m_listenFd = -1;
    QSocketNotifier *m_notifier = nullptr;
};

} // namespace cv::engine
