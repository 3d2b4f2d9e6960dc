#pragma once
// Runs one child process with its standard output and standard error on one
// pipe, read in the main event loop, and hands every chunk to its controller.

#include "TaskWrapperController.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QStringList>

class QSocketNotifier;

namespace cv::engine {

class TaskWrapper : public QObject
{
    Q_OBJECT
public:
    // arguments[0] is the program, the rest its arguments. The controller is
    // not owned.
    TaskWrapper(TaskWrapperController *controller, QStringList arguments, QObject *parent = nullptr);
    ~TaskWrapper() override; // stopProcess

    void startProcess();
    void stopProcess();

    // The child's pid while it has not been reaped, else -1.
    qint64 processIdentifier() const { return m_pid; }

private:
    void getData();
    void deliver(QByteArrayView bytes, bool flushTail);
    void drain();
    void reap();

    TaskWrapperController *controller;
    QStringList arguments;
    qint64 m_pid = -1;
    int m_readFd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QByteArray m_buffer;      // reused for every read
    QByteArray m_pendingUtf8; // an incomplete UTF-8 sequence carried to the next read
    bool m_started = false;   // processStarted was sent; processFinished is owed
    bool m_inGetData = false; // the notifier is delivering: it may only be deleted later
};

} // namespace cv::engine
