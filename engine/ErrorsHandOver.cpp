#include "ErrorsHandOver.h"

#include "Home.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <ctime>
#include <unistd.h>

namespace cv::engine {
namespace {

constexpr auto kEndWait = std::chrono::milliseconds(3000);

sockaddr_un socketAddress(const QByteArray &address, socklen_t &length)
{
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    const size_t size = std::min(sizeof addr.sun_path, static_cast<size_t>(address.size()));
    std::memcpy(addr.sun_path, address.constData(), size);
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + size);
    return addr;
}

// The user of the process at the other end of a connected socket.
bool peerIsThisUser(int fd)
{
    ucred credentials {};
    socklen_t size = sizeof credentials;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 && credentials.uid == ::getuid();
}

// The asking engine's run start, which it sends at once; an engine from
// before this exchange sends nothing and counts as newer.
bool readStamp(int fd, qint64 &stamp)
{
    char bytes[sizeof stamp];
    size_t got = 0;
    while (got < sizeof bytes) {
        pollfd p {fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, 500);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        const ssize_t n = ::read(fd, bytes + got, sizeof bytes - got);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        got += size_t(n);
    }
    std::memcpy(&stamp, bytes, sizeof stamp);
    return true;
}

} // namespace

ErrorsHandOver::ErrorsHandOver(QObject *parent, qint64 runStarted)
    : QObject(parent)
    , m_runStarted(runStarted)
{
    if (m_runStarted < 0) {
        timespec now {};
        ::clock_gettime(CLOCK_BOOTTIME, &now);
        m_runStarted = qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
    }
    // A hash keeps the name short whatever the home's length.
    const QByteArray home = QCryptographicHash::hash(QFile::encodeName(cv::homeDirectory()), QCryptographicHash::Sha256)
                                .toHex()
                                .left(32);
    m_address = QByteArray(1, '\0') + "com.tallowmere.CVEngine.errors/" + QByteArray::number(::getuid()) + '/' + home;
}

ErrorsHandOver::~ErrorsHandOver()
{
    // Connections accepted are left open on purpose: the newer run waits for
    // them to close, which happens when this process ends.
    if (m_listenFd >= 0)
        ::close(m_listenFd);
}

bool ErrorsHandOver::listen()
{
    if (m_listenFd >= 0)
        return true;
    socklen_t length = 0;
    const sockaddr_un addr = socketAddress(m_address, length);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            return false;
        if (::bind(fd, reinterpret_cast<const sockaddr *>(&addr), length) == 0 && ::listen(fd, 4) == 0) {
            m_listenFd = fd;
            m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
            connect(m_notifier, &QSocketNotifier::activated, this, &ErrorsHandOver::accept);
            return true;
        }
        const int error = errno;
        ::close(fd);
        if (error != EADDRINUSE)
            return false;
        switch (askToEnd(kEndWait)) {
        case Asked::Ended:
            continue;
        case Asked::ItIsNewer:
            QMetaObject::invokeMethod(this, &ErrorsHandOver::endRequested, Qt::QueuedConnection);
            return false;
        case Asked::NoneThere:
            return false;
        }
    }
    return false;
}

void ErrorsHandOver::accept()
{
    bool asked = false;
    for (;;) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (!peerIsThisUser(fd)) {
            ::close(fd);
            continue;
        }
        qint64 theirs = 0;
        if (readStamp(fd, theirs) && theirs < m_runStarted) {
            // An older run: it is the one to go.
            ::send(fd, "n", 1, MSG_NOSIGNAL);
            ::close(fd);
            continue;
        }
        asked = true; // kept open until this process ends
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
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return Asked::NoneThere;
    socklen_t length = 0;
    const sockaddr_un addr = socketAddress(m_address, length);
    int connected;
    do {
        connected = ::connect(fd, reinterpret_cast<const sockaddr *>(&addr), length);
    } while (connected != 0 && errno == EINTR);
    // Nobody listens (the usual case), or someone else took the name.
    if (connected != 0 || !peerIsThisUser(fd)) {
        ::close(fd);
        return Asked::NoneThere;
    }
    ::send(fd, &m_runStarted, sizeof m_runStarted, MSG_NOSIGNAL);
    // The other engine writes only to say that its run is the newer one; else
    // the end of the connection is its end.
    Asked result = Asked::Ended;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const qint64 left = wait.count() - clock.elapsed();
        if (left <= 0)
            break;
        pollfd p {fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        char byte;
        const ssize_t n = ::read(fd, &byte, 1);
        if (n == 1 && byte == 'n') {
            result = Asked::ItIsNewer;
            break;
        }
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
            break;
    }
    ::close(fd);
    return result;
}

} // namespace cv::engine
