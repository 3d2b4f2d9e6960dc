#include "TaskWrapper.h"

#include "Log.h"
#include "ProcessTable.h"
#include "Result.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <limits>
#include <vector>

extern char **environ;

namespace cv::engine {
namespace {

// One read of the pipe; as much as a single wake-up delivers, so that a burst
// of output reaches the controller as one chunk rather than many fragments.
constexpr qsizetype kMaxChunk = 1024 * 1024;
// How often the group is looked at while it is being waited for.
constexpr int kWatchIntervalMs = 20;
// After SIGKILL only a process stuck in the kernel can remain; the run does
// not wait for it longer than this, and the background watch gives up later.
constexpr qint64 kForcedWaitMs = 3000;
constexpr qint64 kBackgroundWatchMs = 60000;

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Descriptors 0-2 must stay free for the child's own streams.
UniqueFd aboveStandardStreams(UniqueFd fd)
{
    if (!fd || fd.get() > STDERR_FILENO)
        return fd;
    return UniqueFd(::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
}

// Default signal handlers, nothing blocked, and a group of its own: stopping
// the run reaches everything it started.
void setUpChildAttributes(posix_spawnattr_t &attributes)
{
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
}

// Starts arguments[0] leading a process group of its own, with its standard
// output and error on `output` and, when `inherited` is one, a copy of it as
// kInheritedDescriptor.
cv::Result<pid_t> spawnInGroup(const QStringList &arguments, int output, int inherited)
{
    std::vector<QByteArray> encoded;
    encoded.reserve(arguments.size());
    for (const QString &argument : arguments)
        encoded.push_back(QFile::encodeName(argument));
    std::vector<char *> argv;
    for (QByteArray &argument : encoded)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output, STDERR_FILENO);
    // The inherited descriptor comes from a copy that is not descriptor 3
    // itself, so that dup2 always makes a fresh one without close-on-exec.
    UniqueFd inheritedSource;
    if (inherited >= 0) {
        inheritedSource.reset(::fcntl(inherited, F_DUPFD_CLOEXEC, TaskWrapper::kInheritedDescriptor + 1));
        if (inheritedSource)
            posix_spawn_file_actions_adddup2(&actions, inheritedSource.get(), TaskWrapper::kInheritedDescriptor);
        else
            cv::platform::NSLog(QStringLiteral("Could not pass the run lock to the task: %1").arg(errorText(errno)));
    }
    // Nothing else of the engine but its standard input reaches the child,
    // even a descriptor someone opened without close-on-exec.
    posix_spawn_file_actions_addclosefrom_np(&actions, inheritedSource ? TaskWrapper::kInheritedDescriptor + 1
                                                                       : STDERR_FILENO + 1);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    setUpChildAttributes(attributes);

    pid_t pid = -1;
    const int error = posix_spawn(&pid, argv.front(), &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        return cv::fail(QStringLiteral("Could not launch \"%1\": %2").arg(arguments.front(), errorText(error)));
    return pid;
}

// Bytes at the end of data that begin a UTF-8 sequence not yet complete.
qsizetype incompleteUtf8Tail(QByteArrayView data)
{
    const qsizetype size = data.size();
    for (qsizetype back = 1; back <= 4 && back <= size; ++back) {
        const auto byte = static_cast<unsigned char>(data.at(size - back));
        if ((byte & 0xC0) == 0x80)
            continue; // continuation byte: look further back for the lead
        qsizetype expected = 1;
        if ((byte & 0xE0) == 0xC0)
            expected = 2;
        else if ((byte & 0xF0) == 0xE0)
            expected = 3;
        else if ((byte & 0xF8) == 0xF0)
            expected = 4;
        return back < expected ? back : 0;
    }
    return 0;
}

void signalGroup(qint64 pgid, int signal)
{
    if (pgid > 0)
        ::kill(-static_cast<pid_t>(pgid), signal);
}

// Ends a group that outlived its wrapper, from the event loop: the polite
// signal has been sent; the forced one follows after the grace period, and the
// leader is reaped once the whole group has gone.
void endGroupLater(pid_t leader, pid_t pgid, std::chrono::milliseconds grace)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app) {
        // The process is ending and nobody will wait; init adopts the rest.
        if (processes::groupHasLivingMembers(pgid))
            signalGroup(pgid, SIGKILL);
        ::waitpid(leader, nullptr, WNOHANG);
        return;
    }
    auto *timer = new QTimer(app);
    QElapsedTimer clock;
    clock.start();
    QObject::connect(timer, &QTimer::timeout, timer, [timer, leader, pgid, grace, clock, forced = false]() mutable {
        if (!processes::groupHasLivingMembers(pgid) || clock.elapsed() >= grace.count() + kBackgroundWatchMs) {
            ::waitpid(leader, nullptr, WNOHANG);
            timer->stop();
            timer->deleteLater();
            return;
        }
        if (!forced && clock.elapsed() >= grace.count()) {
            signalGroup(pgid, SIGKILL);
            forced = true;
        }
    });
    timer->start(kWatchIntervalMs);
}

} // namespace

TaskWrapper::TaskWrapper(TaskWrapperController *controller, QStringList arguments, QObject *parent)
    : QObject(parent)
    , controller(controller)
    , arguments(std::move(arguments))
{
}

TaskWrapper::~TaskWrapper()
{
    if (m_watch) {
        m_watch->stop();
        m_watch->deleteLater(); // this may run inside its tick
        m_watch = nullptr;
    }
    if (!m_started || !controller)
        return; // never started, or finished
    closeOutput();
    if (m_pid > 0) {
        const pid_t leader = static_cast<pid_t>(m_pid);
        m_pid = -1;
        if (groupHasLivingMembers(m_pgid)) {
            signalGroup(m_pgid, SIGTERM);
            endGroupLater(leader, static_cast<pid_t>(m_pgid), m_grace);
        } else {
            ::waitpid(leader, nullptr, WNOHANG);
        }
    }
    deliver({}, true);
    TaskWrapperController *finished = controller;
    controller = nullptr;
    finished->processFinished();
}

void TaskWrapper::startProcess()
{
    if (m_started)
        return; // one child, once
    m_started = true;
    if (controller)
        controller->processStarted();

    int fds[2] = {-1, -1};
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        cv::platform::NSLog(QStringLiteral("Could not create the task's pipe: %1").arg(errorText(errno)));
        // Still end the run, but not from inside startProcess.
        QMetaObject::invokeMethod(this, &TaskWrapper::stopProcess, Qt::QueuedConnection);
        return;
    }
    // A larger pipe lets a chatty child write on while we log: fewer
    // wake-ups, fewer chunks. Best effort; the default size works too.
    ::fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(kMaxChunk));
    UniqueFd readEnd = aboveStandardStreams(UniqueFd(fds[0]));
    UniqueFd writeEnd = aboveStandardStreams(UniqueFd(fds[1]));

    if (arguments.isEmpty() || !readEnd || !writeEnd) {
        cv::platform::NSLog(arguments.isEmpty() ? QStringLiteral("Could not launch the task: no program given")
                                                : QStringLiteral("Could not create the task's pipe"));
    } else if (const cv::Result<pid_t> pid = spawnInGroup(arguments, writeEnd.get(), m_inherited)) {
        m_pid = *pid;
        m_pgid = *pid;
    } else {
        cv::platform::NSLog(pid.reason());
    }

    // With the write end closed here, a failed launch reads as an immediate
    // end of output and finishes through the same road as a normal run.
    writeEnd.reset();
    if (!readEnd) {
        QMetaObject::invokeMethod(this, &TaskWrapper::stopProcess, Qt::QueuedConnection);
        return;
    }
    ::fcntl(readEnd.get(), F_SETFL, ::fcntl(readEnd.get(), F_GETFL) | O_NONBLOCK);
    m_output = std::move(readEnd);
    // Not a child of this object: it may be the sender when the controller
    // deletes the wrapper, so it is deleted through the event loop then.
    m_notifier = new QSocketNotifier(m_output.get(), QSocketNotifier::Read);
    connect(m_notifier, &QSocketNotifier::activated, this, &TaskWrapper::getData);
}

void TaskWrapper::getData()
{
    if (!m_output)
        return;
    // One buffer for the life of the run: large output must not cost a fresh
    // allocation (and its page faults) for every read.
    if (m_buffer.size() != kMaxChunk)
        m_buffer.resize(kMaxChunk);
    qsizetype filled = 0;
    bool ended = false;
    while (filled < kMaxChunk) {
        const ssize_t n = ::read(m_output.get(), m_buffer.data() + filled, static_cast<size_t>(kMaxChunk - filled));
        if (n > 0) {
            filled += n;
            continue;
        }
        if (n == 0) {
            ended = true;
        } else if (errno == EINTR) {
            continue;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
            cv::platform::NSLog(QStringLiteral("Reading the task's output failed: %1").arg(errorText(errno)));
            ended = true;
        }
        break;
    }
    m_inGetData = true;
    if (filled > 0)
        deliver(QByteArrayView(m_buffer.constData(), filled), false);
    if (ended && m_output) {
        closeOutput();
        m_inGetData = false;
        // Last statements: the controller may delete this wrapper in processFinished.
        if (m_stopping)
            watchGroup();
        else
            beginStop(true);
        return;
    }
    m_inGetData = false;
}

void TaskWrapper::deliver(QByteArrayView bytes, bool flushTail)
{
    QByteArray joined;
    if (!m_pendingUtf8.isEmpty()) {
        joined = m_pendingUtf8;
        joined.append(bytes);
        m_pendingUtf8.clear();
        bytes = joined;
    }
    qsizetype length = bytes.size();
    if (!flushTail) {
        const qsizetype tail = incompleteUtf8Tail(bytes);
        m_pendingUtf8 = bytes.last(tail).toByteArray();
        length -= tail;
    }
    if (length > 0 && controller)
        controller->appendOutput(QString::fromUtf8(bytes.first(length)));
}

void TaskWrapper::readAvailable()
{
    // Every writer of the group has gone: what they wrote is in the pipe, and
    // a read never waits here (the descriptor does not block).
    if (m_buffer.size() != kMaxChunk)
        m_buffer.resize(kMaxChunk);
    while (m_output) {
        const ssize_t n = ::read(m_output.get(), m_buffer.data(), static_cast<size_t>(kMaxChunk));
        if (n > 0) {
            deliver(QByteArrayView(m_buffer.constData(), n), false);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return;
    }
}

void TaskWrapper::closeOutput()
{
    if (m_notifier) {
        m_notifier->setEnabled(false);
        if (m_inGetData)
            m_notifier->deleteLater();
        else
            delete m_notifier;
        m_notifier = nullptr;
    }
    m_output.reset();
}

void TaskWrapper::stopProcess()
{
    if (!m_started || !controller || m_stopping)
        return;
    // The end is always reported later, from the event loop, never from
    // inside this call.
    beginStop(false);
}

void TaskWrapper::stopProcessAndWait()
{
    if (!m_started || !controller)
        return;
    if (!m_stopping) {
        m_stopping = true;
        m_stopClock.start();
        if (groupHasLivingMembers(m_pgid))
            signalGroup(m_pgid, SIGTERM);
    }
    // watchGroup ends the wait: the group has gone, or it would not die even
    // by force. A group blocked on a full pipe is drained meanwhile.
    while (m_stopping && controller) {
        readAvailable();
        watchGroup();
        if (m_stopping)
            ::usleep(kWatchIntervalMs * 1000);
    }
}

void TaskWrapper::beginStop(bool checkNow)
{
    m_stopping = true;
    m_stopClock.start();
    // The leader stays unreaped until the group has gone, so the group's id
    // cannot pass to another process while we signal it. After a normal end
    // of output the group is usually gone already and nobody is signalled.
    if (groupHasLivingMembers(m_pgid))
        signalGroup(m_pgid, SIGTERM);
    m_watch = new QTimer; // not a child: it may be ticking when this wrapper is deleted
    connect(m_watch, &QTimer::timeout, this, &TaskWrapper::watchGroup);
    // At the end of output the child is usually still exiting (it closes its
    // descriptors first): look again almost at once, then at the usual pace.
    m_watch->start(checkNow ? 1 : kWatchIntervalMs);
    if (checkNow)
        watchGroup(); // last statement: it may finish the run at once
}

void TaskWrapper::watchGroup()
{
    if (!m_stopping)
        return;
    if (!groupHasLivingMembers(m_pgid)) {
        readAvailable();
        finish();
        return;
    }
    if (m_watch)
        m_watch->setInterval(kWatchIntervalMs);
    const qint64 elapsed = m_stopClock.elapsed();
    if (!m_forced && elapsed >= m_grace.count()) {
        signalGroup(m_pgid, SIGKILL);
        m_forced = true;
    } else if (m_forced && elapsed >= m_grace.count() + kForcedWaitMs) {
        cv::platform::NSLog(QStringLiteral("Processes of the task (group %1) did not end after SIGKILL; "
                                           "they are no longer waited for.")
                                .arg(m_pgid));
        readAvailable();
        finish();
    }
}

void TaskWrapper::finish()
{
    m_stopping = false;
    if (m_watch) {
        m_watch->stop();
        m_watch->deleteLater();
        m_watch = nullptr;
    }
    closeOutput();
    deliver({}, true);
    if (m_pid > 0) {
        const pid_t leader = static_cast<pid_t>(m_pid);
        m_pid = -1;
        // A zombie by now, unless the group would not die even by force.
        if (::waitpid(leader, nullptr, WNOHANG) == 0)
            endGroupLater(leader, static_cast<pid_t>(m_pgid), std::chrono::milliseconds(0));
    }
    if (m_started && controller) {
        TaskWrapperController *finished = controller;
        controller = nullptr;
        finished->processFinished();
    }
}

bool TaskWrapper::groupHasLivingMembers(qint64 pgid)
{
    return pgid > 0 && pgid <= std::numeric_limits<pid_t>::max() && processes::groupHasLivingMembers(pid_t(pgid));
}

} // namespace cv::engine
