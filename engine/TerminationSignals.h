#pragma once
// SIGTERM, SIGINT and SIGHUP (a logout, a shutdown, a kill) as a Qt signal in
// the event loop. The handler itself only writes the signal's number to a
// pipe, which is all that is safe inside a signal handler; everything else
// happens when the event loop reads it.

#include "UniqueFd.h"

#include <QObject>
#include <QString>

class QSocketNotifier;

namespace cv::engine {

class TerminationSignals : public QObject
{
    Q_OBJECT
public:
    // Installs the handlers; one instance per process. Needs the application
    // object (it watches a pipe in the event loop).
    explicit TerminationSignals(QObject *parent = nullptr);
    // Puts the default handlers back.
    ~TerminationSignals() override;

    bool installed() const { return m_read.valid(); }

    // "SIGTERM", "SIGINT", "SIGHUP", else "signal <n>".
    static QString name(int signalNumber);

signals:
    void received(int signalNumber);

private:
    void readPipe();

    UniqueFd m_read;
    UniqueFd m_write; // the handler's end, also in g_writeFd
    QSocketNotifier *m_notifier = nullptr;
};

} // namespace cv::engine
