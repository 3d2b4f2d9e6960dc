#include "RunLock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cv::platform {

RunLock::~RunLock() { release(); }

RunLock::Acquire RunLock::tryAcquire(const QString &path)
{
    if (m_fd >= 0)
        return Acquire::Acquired;
    m_error.clear();
    const auto unusable = [this, &path](const QString &why) {
        m_error = QStringLiteral("the lock file '%1' %2").arg(path, why);
        return Acquire::Unusable;
    };
    const auto reason = [](int error) { return QString::fromLocal8Bit(std::strerror(error)); };

    QDir().mkpath(QFileInfo(path).absolutePath());
    // O_CLOEXEC: only a child given the descriptor on purpose shares the
    // lock. O_NONBLOCK: a FIFO in the file's place must not hold the run.
    int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0)
        return unusable(QStringLiteral("could not be opened: %1").arg(reason(errno)));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return unusable(QStringLiteral("is not a regular file"));
    }
    // Descriptors 0-2 are a child's standard streams, never the lock.
    if (fd <= STDERR_FILENO) {
        const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        ::close(fd);
        if (moved < 0)
            return unusable(QStringLiteral("could not be opened: %1").arg(reason(errno)));
        fd = moved;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK)
            return Acquire::Busy;
        return unusable(QStringLiteral("could not be locked: %1").arg(reason(error)));
    }
    m_fd = fd;
    return Acquire::Acquired;
}

void RunLock::release()
{
    if (m_fd < 0)
        return;
    // Unlocked for every holder, not just closed: something the script
    // started outside its group (a relaunched client) keeps its copy of the
    // descriptor, and must not keep later runs out.
    ::flock(m_fd, LOCK_UN);
    ::close(m_fd);
    m_fd = -1;
}

} // namespace cv::platform
