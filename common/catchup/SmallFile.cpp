#include "SmallFile.h"

#include "UniqueFd.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cv::catchup {

SmallFile readSmallFile(const QString &path, qint64 maxBytes, QByteArray &bytes, QString &problem)
{
    bytes.clear();
    const auto why = [](int error) { return QString::fromLocal8Bit(std::strerror(error)); };
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    const UniqueFd fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd) {
        if (errno == ENOENT)
            return SmallFile::Absent;
        problem = QStringLiteral("could not be opened: %1").arg(why(errno));
        return SmallFile::Unusable;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        problem = QStringLiteral("is not a regular file");
        return SmallFile::Unusable;
    }
    bytes.resize(maxBytes);
    qint64 got = 0;
    while (got < maxBytes) {
        const ssize_t n = ::read(fd.get(), bytes.data() + got, size_t(maxBytes - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            problem = QStringLiteral("could not be read: %1").arg(why(errno));
            bytes.clear();
            return SmallFile::Unusable;
        }
        if (n == 0)
            break;
        got += n;
    }
    bytes.truncate(got);
    return SmallFile::Read;
}

} // namespace cv::catchup
