#include "TerminationSignals.h"

#include "Log.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace cv::engine {
namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The one thing the handler needs; written before the handlers go in.
volatile sig_atomic_t g_writeFd = -1;

extern "C" void onTerminationSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // Non-blocking: with the pipe full, enough signals are already queued.
    [[maybe_unused]] const ssize_t written = ::write(g_writeFd, &byte, 1);
    errno = savedErrno;
}

} // namespace

TerminationSignals::TerminationSignals(QObject *parent)
    : QObject(parent)
{
    int fds[2];
    if (g_writeFd >= 0 || ::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        cv::platform::NSLog(QStringLiteral("Could not watch for SIGTERM, SIGINT and SIGHUP: %1")
                                .arg(QString::fromLocal8Bit(std::strerror(g_writeFd >= 0 ? EBUSY : errno))));
        return;
    }
    m_read.reset(fds[0]);
    m_write.reset(fds[1]);
    g_writeFd = m_write.get();
    m_notifier = new QSocketNotifier(m_read.get(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::readPipe);

    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : kSignals)
        ::sigaction(signalNumber, &action, nullptr);
}

TerminationSignals::~TerminationSignals()
{
    if (!m_read)
        return;
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : kSignals)
        ::sigaction(signalNumber, &action, nullptr);
    // The handlers are out: nothing writes to the pipe any more.
    g_writeFd = -1;
}

QString TerminationSignals::name(int signalNumber)
{
    switch (signalNumber) {
    case SIGTERM:
        return QStringLiteral("SIGTERM");
    case SIGINT:
        return QStringLiteral("SIGINT");
    case SIGHUP:
        return QStringLiteral("SIGHUP");
    default:
        return QStringLiteral("signal %1").arg(signalNumber);
    }
}

void TerminationSignals::readPipe()
{
    unsigned char bytes[16];
    for (;;) {
        const ssize_t n = ::read(m_read.get(), bytes, sizeof bytes);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        for (ssize_t i = 0; i < n; ++i)
            emit received(bytes[i]);
    }
}

} // namespace cv::engine
