#include "Log.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace cv::platform {
namespace {

QString processName()
{
    return QString::fromLocal8Bit(program_invocation_short_name);
}

void writeAll(int fd, const QByteArray &bytes)
{
    const char *p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, static_cast<size_t>(left));
        if (n < 0) {
            if (errno == EINTR) continue;
            return; // nowhere left to report a failing log
        }
        p += n;
        left -= n;
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
    QByteArray line = (logLinePrefix() + message).toUtf8();
    line.append('\n');
    std::fflush(stderr);
    writeAll(STDERR_FILENO, line);
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
