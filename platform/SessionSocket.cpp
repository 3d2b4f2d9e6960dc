#include "SessionSocket.h"

#include <QCryptographicHash>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace cv::platform {

namespace {

struct Address {
    sockaddr_un addr {};
    socklen_t length = 0;
    const sockaddr *get() const { return reinterpret_cast<const sockaddr *>(&addr); }
};

Address addressOf(const QByteArray &name)
{
    Address a;
    a.addr.sun_family = AF_UNIX;
    const size_t size = std::min(sizeof a.addr.sun_path, size_t(name.size()));
    std::memcpy(a.addr.sun_path, name.constData(), size);
    a.length = socklen_t(offsetof(sockaddr_un, sun_path) + size);
    return a;
}

bool peerIsThisUser(int fd)
{
    ucred credentials {};
    socklen_t size = sizeof credentials;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 && credentials.uid == ::getuid();
}

} // namespace

QByteArray sessionSocketName(const char *service, const QString &home)
{
    const QByteArray hash = QCryptographicHash::hash(QFile::encodeName(home), QCryptographicHash::Sha256).toHex().left(32);
    return QByteArray(1, '\0') + service + '/' + QByteArray::number(::getuid()) + '/' + hash;
}

cv::BasicResult<cv::UniqueFd, int> listenOn(const QByteArray &name, int backlog)
{
    cv::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const Address address = addressOf(name);
    if (!fd || ::bind(fd.get(), address.get(), address.length) != 0 || ::listen(fd.get(), backlog) != 0)
        return cv::fail(errno);
    return fd;
}

cv::UniqueFd acceptFromThisUser(int listening)
{
    for (;;) {
        cv::UniqueFd fd(::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC));
        if (!fd && errno == EINTR)
            continue;
        if (!fd || peerIsThisUser(fd.get()))
            return fd;
    }
}

cv::UniqueFd connectTo(const QByteArray &name, bool nonBlocking)
{
    cv::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0));
    if (!fd)
        return fd;
    const Address address = addressOf(name);
    int connected;
    do {
        connected = ::connect(fd.get(), address.get(), address.length);
    } while (connected != 0 && errno == EINTR);
    // Nobody listens (the usual case), or someone else took the name.
    if (connected != 0 || !peerIsThisUser(fd.get()))
        fd.reset();
    return fd;
}

QByteArray readPromptly(int fd, qsizetype size, std::chrono::milliseconds wait)
{
    QByteArray bytes(size, Qt::Uninitialized);
    qsizetype got = 0;
    while (got < size) {
        pollfd p {fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, int(wait.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        const ssize_t n = ::read(fd, bytes.data() + got, size_t(size - got));
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            break;
        got += n;
    }
    bytes.truncate(got);
    return bytes;
}

} // namespace cv::platform
