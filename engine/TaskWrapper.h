#pragma once
// Runs one child process with its standard output and standard error on one
// pipe, read in the main event loop, and hands every chunk to its controller.
// The child leads a process group of its own, so that ending the run ends
// everything it started. Nothing here ever blocks the event loop: the end of
// output, the reaping and the wait for the group are all event-driven.

#include "TaskWrapperController.h"
#include "UniqueFd.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QElapsedTimer>
#include <QObject>
#include <QStringList>

#include <chrono>

class QSocketNotifier;
class QTimer;

namespace cv::engine {

class TaskWrapper : public QObject
{
    Q_OBJECT
public:
    // How long the group has to end after the polite signal before it is
    // ended by force.
    static constexpr std::chrono::milliseconds kStopGracePeriod{5000};

    // arguments[0] is the program, the rest its arguments. The controller is
    // not owned.
    TaskWrapper(TaskWrapperController *controller, QStringList arguments, QObject *parent = nullptr);
    // Without an event loop to wait in: the group is asked to end, and ended
    // by force if it is still there when the application is gone.
    ~TaskWrapper() override;

    void startProcess();
    // Asks the child's whole group to end (SIGTERM, then SIGKILL after the
    // grace period), reads what it still writes, and sends processFinished
    // from the event loop once every process of the group has gone. At the
    // end of output the same happens by itself.
    void stopProcess();

    // For a process that is ending without its event loop (its display went
    // away): stopProcess, but the wait for the group happens here, draining
    // its output, and processFinished is sent before this returns.
    void stopProcessAndWait();

    void setStopGracePeriod(std::chrono::milliseconds grace) { m_grace = grace; }
    // Before startProcess: the child gets a copy of fd as its descriptor 3
    // (kInheritedDescriptor), so whatever fd holds (a lock) lasts as long as
    // the child or anything it started with the copy.
    void setInheritedDescriptor(int fd) { m_inherited = fd; }
    static constexpr int kInheritedDescriptor = 3;

    // The child's pid while it has not been reaped, else -1.
    qint64 processIdentifier() const { return m_pid; }
    // The child's process group (its pid at launch), -1 before a launch.
    qint64 processGroup() const { return m_pgid; }
    bool isStopping() const { return m_stopping; }

    // True while a process that is not a zombie belongs to the group.
    static bool groupHasLivingMembers(qint64 pgid);

private:
    void getData();
    void deliver(QByteArrayView bytes, bool flushTail);
    void readAvailable();
    void closeOutput();
    void beginStop(bool checkNow);
    void watchGroup();
    void finish();

    TaskWrapperController *controller;
    QStringList arguments;
    qint64 m_pid = -1;
    qint64 m_pgid = -1;
    UniqueFd m_output; // the pipe's read end
    int m_inherited = -1;
    QSocketNotifier *m_notifier = nullptr;
    QTimer *m_watch = nullptr; // ticks while the group is waited for
    QElapsedTimer m_stopClock;
    std::chrono::milliseconds m_grace = kStopGracePeriod;
    QByteArray m_buffer;      // reused for every read
    QByteArray m_pendingUtf8; // an incomplete UTF-8 sequence carried to the next read
    bool m_started = false;   // processStarted was sent; processFinished is owed
    bool m_stopping = false;  // the group is being waited for
    bool m_forced = false;    // SIGKILL was sent
    bool m_inGetData = false; // the notifier is delivering: it may only be deleted later
};

} // namespace cv::engine
