#include "TaskWrapper.h"

#include "Log.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace cv::engine {
namespace {

// One read of the pipe; as much as a single wake-up delivers, so that a burst
// of output reaches the controller as one chunk rather than many fragments.
constexpr qsizetype kReadSize = 64 * 1024;
constexpr qsizetype kMaxChunk = 1024 * 1024;
// A grandchild may keep the pipe open after an explicit stop; the drain must
// not hold the event loop for longer than this.
constexpr int kDrainLimitMs = 2000;
// At the end of output the child has normally exited or is about to.
constexpr int kReapWaitMs = 500;

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Descriptors 0-2 must stay free for the child's own streams.
int moveAboveStandardStreams(int fd)
{
    if (fd > STDERR_FILENO)
        return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    ::close(fd);
    return moved;
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

// Waits for a child that outlived the wrapper, from the event loop.
void reapLater(pid_t pid)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app)
        return; // the process is ending; init adopts the child
    auto *timer = new QTimer(app);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, pid] {
        if (::waitpid(pid, nullptr, WNOHANG) != 0)
            timer->deleteLater();
    });
    timer->start(100);
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
    stopProcess();
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
    const int readFd = moveAboveStandardStreams(fds[0]);
    const int writeFd = moveAboveStandardStreams(fds[1]);

    if (arguments.isEmpty() || readFd < 0 || writeFd < 0) {
        cv::platform::NSLog(arguments.isEmpty() ? QStringLiteral("Could not launch the task: no program given")
                                                : QStringLiteral("Could not create the task's pipe"));
    } else {
        std::vector<QByteArray> encoded;
        encoded.reserve(arguments.size());
        for (const QString &argument : std::as_const(arguments))
            encoded.push_back(QFile::encodeName(argument));
        std::vector<char *> argv;
        for (QByteArray &argument : encoded)
            argv.push_back(argument.data());
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, writeFd, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, writeFd, STDERR_FILENO);
        // Nothing of the engine but its standard input reaches the child, even
        // a descriptor someone opened without close-on-exec.
        posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t all, none;
        sigfillset(&all);
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attributes, &all);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

        pid_t pid = -1;
        const int error = posix_spawn(&pid, argv.front(), &actions, &attributes, argv.data(), environ);
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        if (error == 0)
            m_pid = pid;
        else
            cv::platform::NSLog(QStringLiteral("Could not launch \"%1\": %2").arg(arguments.front(), errorText(error)));
    }

    // With the write end closed here, a failed launch reads as an immediate
    // end of output and finishes through the same road as a normal run.
    if (writeFd >= 0)
        ::close(writeFd);
    if (readFd < 0) {
        QMetaObject::invokeMethod(this, &TaskWrapper::stopProcess, Qt::QueuedConnection);
        return;
    }
    ::fcntl(readFd, F_SETFL, ::fcntl(readFd, F_GETFL) | O_NONBLOCK);
    m_readFd = readFd;
    // Not a child of this object: it may be the sender when the controller
    // deletes the wrapper, so it is deleted through the event loop then.
    m_notifier = new QSocketNotifier(readFd, QSocketNotifier::Read);
    connect(m_notifier, &QSocketNotifier::activated, this, &TaskWrapper::getData);
}

void TaskWrapper::getData()
{
    if (m_readFd < 0)
        return;
    // One buffer for the life of the run: large output must not cost a fresh
    // allocation (and its page faults) for every read.
    if (m_buffer.size() != kMaxChunk)
        m_buffer.resize(kMaxChunk);
    qsizetype filled = 0;
    bool ended = false;
    while (filled < kMaxChunk) {
        const ssize_t n = ::read(m_readFd, m_buffer.data() + filled, static_cast<size_t>(kMaxChunk - filled));
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
    if (ended && m_readFd >= 0) {
        // Last statement: the controller may delete this wrapper in processFinished.
        stopProcess();
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

void TaskWrapper::drain()
{
    const QDeadlineTimer deadline(kDrainLimitMs);
    char buffer[kReadSize];
    while (m_readFd >= 0) {
        const ssize_t n = ::read(m_readFd, buffer, sizeof buffer);
        if (n > 0) {
            deliver(QByteArrayView(buffer, n), false);
            continue;
        }
        if (n == 0)
            return;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return;
        const qint64 left = deadline.remainingTime();
        if (left <= 0) {
            cv::platform::NSLog(QStringLiteral("The task's output did not end; it is no longer read."));
            return;
        }
        pollfd p{m_readFd, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(left));
    }
}

void TaskWrapper::reap()
{
    if (m_pid <= 0)
        return;
    const pid_t pid = static_cast<pid_t>(m_pid);
    m_pid = -1;
    const QDeadlineTimer deadline(kReapWaitMs);
    for (;;) {
        const pid_t r = ::waitpid(pid, nullptr, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR))
            return;
        if (deadline.hasExpired())
            break;
        QThread::msleep(5);
    }
    reapLater(pid);
}

void TaskWrapper::stopProcess()
{
    if (m_notifier) {
        m_notifier->setEnabled(false);
        if (m_inGetData)
            m_notifier->deleteLater();
        else
            delete m_notifier;
        m_notifier = nullptr;
    }
    // Not reaped yet, so the pid cannot have been reused; after a normal end
    // the child is already a zombie and the signal does nothing.
    if (m_pid > 0)
        ::kill(static_cast<pid_t>(m_pid), SIGTERM);
    if (m_readFd >= 0) {
        drain();
        ::close(m_readFd);
        m_readFd = -1;
    }
    deliver({}, true);
    reap();
    if (m_started && controller) {
        TaskWrapperController *finished = controller;
        controller = nullptr;
        finished->processFinished();
    }
}

} // namespace cv::engine
