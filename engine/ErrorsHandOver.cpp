#include "ErrorsHandOver.h"

#include "Home.h"
#include "SessionSocket.h"

#include <QElapsedTimer>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace cv::engine {
namespace {

constexpr auto kEndWait = std::chrono::milliseconds(3000);

// The asking engine's run start, which it sends at once; an engine from
// before this exchange sends nothing and counts as newer.
std::optional<qint64> readStamp(int fd)
{
    qint64 stamp = 0;
    const QByteArray bytes = platform::readPromptly(fd, sizeof stamp);
    if (bytes.size() != sizeof stamp)
        return std::nullopt;
    std::memcpy(&stamp, bytes.constData(), sizeof stamp);
    return stamp;
}

} // namespace

ErrorsHandOver::ErrorsHandOver(QObject *parent, qint64 runStarted)
    : QObject(parent)
    , m_address(platform::sessionSocketName("com.tallowmere.CVEngine.errors", cv::homeDirectory()))
    , m_runStarted(runStarted)
{
    if (m_runStarted < 0) {
        timespec now {};
        ::clock_gettime(CLOCK_BOOTTIME, &now);
        m_runStarted = qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
    }
}

cv::Result<void> ErrorsHandOver::listen()
{
    for (int attempt = 0; attempt < 2 && !m_listening; ++attempt) {
        auto listening = platform::listenOn(m_address, 4);
        if (listening) {
            m_listening = std::move(listening).value();
            m_notifier = new QSocketNotifier(m_listening.get(), QSocketNotifier::Read, this);
            connect(m_notifier, &QSocketNotifier::activated, this, &ErrorsHandOver::accept);
            break;
        }
        if (listening.reason() != EADDRINUSE)
            return cv::fail(QString::fromLocal8Bit(std::strerror(listening.reason())));
        switch (askToEnd(kEndWait)) {
        case Asked::Ended:
            continue;
        case Asked::ItIsNewer:
            QMetaObject::invokeMethod(this, &ErrorsHandOver::endRequested, Qt::QueuedConnection);
            return {};
        case Asked::NoneThere:
            return cv::fail(QStringLiteral("another program holds its name"));
        }
    }
    if (!m_listening)
        return cv::fail(QStringLiteral("the earlier engine did not end"));
    return {};
}

void ErrorsHandOver::accept()
{
    bool asked = false;
    while (cv::UniqueFd peer = platform::acceptFromThisUser(m_listening.get())) {
        const std::optional<qint64> theirs = readStamp(peer.get());
        if (theirs && *theirs < m_runStarted) {
            // An older run: it is the one to go.
            ::send(peer.get(), "n", 1, MSG_NOSIGNAL);
            continue;
        }
        // Left open until this process ends: the newer run waits for that.
        asked = true;
        (void)peer.release();
    }
    if (asked)
        emit endRequested();
}

bool ErrorsHandOver::endEarlierEngine(std::chrono::milliseconds wait) const
{
    return askToEnd(wait) != Asked::NoneThere;
}

ErrorsHandOver::Asked ErrorsHandOver::askToEnd(std::chrono::milliseconds wait) const
{
    const cv::UniqueFd other = platform::connectTo(m_address, false);
    if (!other)
        return Asked::NoneThere;
    ::send(other.get(), &m_runStarted, sizeof m_runStarted, MSG_NOSIGNAL);
    // The other engine writes only to say that its run is the newer one; else
    // the end of the connection is its end.
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const qint64 left = wait.count() - clock.elapsed();
        if (left <= 0)
            return Asked::Ended;
        pollfd p {other.get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return Asked::Ended;
        char byte;
        const ssize_t n = ::read(other.get(), &byte, 1);
        if (n == 1 && byte == 'n')
            return Asked::ItIsNewer;
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
            return Asked::Ended;
    }
}

} // namespace cv::engine
