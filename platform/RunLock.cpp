#include "RunLock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace cv::platform {

RunLock::~RunLock() { release(); }

bool RunLock::tryAcquire(const QString &path)
{
    if (m_fd >= 0)
        return true;
    QDir().mkpath(QFileInfo(path).absolutePath());
    // O_CLOEXEC: the backup script must not inherit the lock and keep it
    // after the engine is gone.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

void RunLock::release()
{
    if (m_fd < 0)
        return;
    ::flock(m_fd, LOCK_UN);
    ::close(m_fd);
    m_fd = -1;
}

} // namespace cv::platform
