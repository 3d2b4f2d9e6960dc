#include "Log.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

namespace cv::platform {
namespace {

QString processName()
{
    return QString::fromLocal8Bit(program_invocation_short_name);
}

void writeAll(int fd, iovec *parts, int count)
{
    while (count > 0) {
        const ssize_t n = ::writev(fd, parts, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            return; // nowhere left to report a failing log
        }
        // A short write: go on after what was written.
        size_t done = static_cast<size_t>(n);
        while (count > 0 && done >= parts->iov_len) {
            done -= parts->iov_len;
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<char *>(parts->iov_base) + done;
            parts->iov_len -= done;
        }
    }
}

} // namespace

QString logLinePrefix()
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    return QStringLiteral("%1 %2[%3:%4] ")
        .arg(stamp, processName())
        .arg(static_cast<long long>(::getpid()))
        .arg(static_cast<long long>(::syscall(SYS_gettid)));
}

void NSLog(const QString &message)
{
    // One writev: with the log opened for appending, the kernel keeps the
    // line whole against other processes' lines, and a large message is not
    // copied once more just to join it to its prefix.
    const QByteArray prefix = logLinePrefix().toUtf8();
    const QByteArray text = message.toUtf8();
    static const char newline = '\n';
    iovec parts[3] = {{const_cast<char *>(prefix.constData()), static_cast<size_t>(prefix.size())},
                      {const_cast<char *>(text.constData()), static_cast<size_t>(text.size())},
                      {const_cast<char *>(&newline), 1}};
    std::fflush(stderr);
    writeAll(STDERR_FILENO, parts, 3);
}

bool reopenStandardError(const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    // Probe first: a failed freopen would leave standard error closed.
    const QByteArray native = QFile::encodeName(path);
    const int probe = ::open(native.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (probe < 0)
        return false;
    ::close(probe);
    std::fflush(stderr);
    if (!std::freopen(native.constData(), "a", stderr))
        return false;
    if (fileno(stderr) != STDERR_FILENO)
        ::dup2(fileno(stderr), STDERR_FILENO);
    return true;
}

} // namespace cv::platform
