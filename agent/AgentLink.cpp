#include "AgentLink.h"

#include "Home.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace cv::agent {
namespace {

constexpr char kRunEnded[] = "run-ended\n";
constexpr qsizetype kRunEndedSize = sizeof kRunEnded - 1;

sockaddr_un address(socklen_t &length)
{
    // A hash keeps the name short whatever the home's length.
    const QByteArray home = QCryptographicHash::hash(QFile::encodeName(cv::homeDirectory()), QCryptographicHash::Sha256)
                                .toHex()
                                .left(32);
    const QByteArray name = QByteArray(1, '\0') + "com.tallowmere.CVAgent/" + QByteArray::number(::getuid()) + '/' + home;
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    const size_t size = std::min(sizeof addr.sun_path, size_t(name.size()));
    std::memcpy(addr.sun_path, name.constData(), size);
    length = socklen_t(offsetof(sockaddr_un, sun_path) + size);
    return addr;
}

bool peerIsThisUser(int fd)
{
    ucred credentials {};
    socklen_t size = sizeof credentials;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 && credentials.uid == ::getuid();
}

// Reads the short message a peer sends at once; a silent peer is not waited on long.
QByteArray readMessage(int fd)
{
    QByteArray message;
    char buffer[32];
    while (message.size() < kRunEndedSize) {
        pollfd p {fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, 500);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        message.append(buffer, n);
    }
    return message;
}

} // namespace

AgentLink::AgentLink(QObject *parent)
    : QObject(parent)
{
}

AgentLink::~AgentLink()
{
    if (m_listenFd >= 0)
        ::close(m_listenFd);
}

bool AgentLink::listen()
{
    if (m_listenFd >= 0)
        return true;
    socklen_t length = 0;
    const sockaddr_un addr = address(length);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&addr), length) != 0 || ::listen(fd, 8) != 0) {
        ::close(fd);
        return false;
    }
    m_listenFd = fd;
    m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &AgentLink::accept);
    return true;
}

void AgentLink::accept()
{
    bool ended = false;
    for (;;) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (peerIsThisUser(fd) && readMessage(fd) == QByteArray(kRunEnded, kRunEndedSize))
            ended = true;
        ::close(fd);
    }
    if (ended)
        emit runEnded();
}

bool AgentLink::tellRunEnded()
{
    // Non-blocking: an agent that stopped accepting (its backlog full) must
    // not hold the engine, which may still hold the run lock.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    socklen_t length = 0;
    const sockaddr_un addr = address(length);
    int connected;
    do {
        connected = ::connect(fd, reinterpret_cast<const sockaddr *>(&addr), length);
    } while (connected != 0 && errno == EINTR);
    bool told = connected == 0 && peerIsThisUser(fd);
    if (told) {
        // MSG_NOSIGNAL: an agent that went away meanwhile must not end the engine.
        const ssize_t n = ::send(fd, kRunEnded, size_t(kRunEndedSize), MSG_NOSIGNAL);
        told = n == kRunEndedSize;
    }
    ::close(fd);
    return told;
}

} // namespace cv::agent
