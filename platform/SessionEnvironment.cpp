#include "SessionEnvironment.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <utility>
#include <sys/stat.h>
#include <unistd.h>

namespace cv::platform {
namespace {

// The file holds five short lines; anything larger is not ours.
constexpr qint64 kMaxSessionFileBytes = 64 * 1024;

class Descriptor
{
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() { if (m_fd >= 0) ::close(m_fd); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

bool writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += n;
    }
    return true;
}

// Like writeFileAtomically, but the temporary file is private from the moment
// it exists: the values name the user's display and bus.
bool writePrivateFileAtomically(const QString &path, const QByteArray &bytes)
{
    const QByteArray target = QFile::encodeName(path);
    QByteArray temporary = target + ".XXXXXX";
    Descriptor fd(::mkostemp(temporary.data(), O_CLOEXEC)); // mode 0600
    if (fd.get() < 0)
        return false;
    const bool written = ::fchmod(fd.get(), S_IRUSR | S_IWUSR) == 0 && writeAll(fd.get(), bytes)
                         && ::fsync(fd.get()) == 0 && ::close(fd.release()) == 0;
    if (!written || ::rename(temporary.constData(), target.constData()) != 0) {
        ::unlink(temporary.constData());
        return false;
    }
    return true;
}

// Reads the file at path only when its folder can be written by no one but us
// (or root), and the file itself is a regular file of ours that only we can
// write. All checks are made on the descriptors that are read, so nothing can
// be swapped in between; a link in place of the file is refused.
std::optional<QByteArray> readPrivateFile(const QString &path)
{
    const QFileInfo info(path);
    const QByteArray folder = QFile::encodeName(info.absolutePath());
    const QByteArray name = QFile::encodeName(info.fileName());
    Descriptor dir(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st {};
    if (dir.get() < 0 || ::fstat(dir.get(), &st) != 0)
        return std::nullopt;
    if ((st.st_uid != ::getuid() && st.st_uid != 0) || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return std::nullopt;
    Descriptor fd(::openat(dir.get(), name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0)
        return std::nullopt;
    if (!S_ISREG(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0
        || st.st_size > kMaxSessionFileBytes)
        return std::nullopt;
    // One byte more than allowed tells a file that grew since fstat.
    QByteArray bytes(kMaxSessionFileBytes + 1, Qt::Uninitialized);
    qsizetype got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(fd.get(), bytes.data() + got, static_cast<size_t>(bytes.size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        got += n;
    }
    if (got > kMaxSessionFileBytes)
        return std::nullopt;
    bytes.truncate(got);
    return bytes;
}

} // namespace

const QStringList &sessionVariableNames()
{
    static const QStringList names{QStringLiteral("DISPLAY"), QStringLiteral("WAYLAND_DISPLAY"),
                                   QStringLiteral("XAUTHORITY"), QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                                   QStringLiteral("XDG_RUNTIME_DIR")};
    return names;
}

bool recordSessionEnvironment(const QString &path)
{
    QByteArray text;
    for (const QString &name : sessionVariableNames()) {
        const QByteArray value = qgetenv(name.toLatin1().constData());
        if (value.isEmpty() || value.contains('\n'))
            continue;
        text += name.toLatin1() + '=' + value + '\n';
    }
    return writePrivateFileAtomically(path, text);
}

QStringList loadSessionEnvironment(const QString &path)
{
    if (!qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return {};
    const auto text = readPrivateFile(path);
    if (!text)
        return {};
    QStringList set;
    const QList<QByteArray> lines = text->split('\n');
    for (const QByteArray &line : lines) {
        const qsizetype eq = line.indexOf('=');
        if (eq <= 0)
            continue;
        const QString name = QString::fromLatin1(line.left(eq));
        const QByteArray value = line.mid(eq + 1);
        if (!sessionVariableNames().contains(name) || value.isEmpty())
            continue;
        if (!qEnvironmentVariableIsEmpty(name.toLatin1().constData()))
            continue;
        qputenv(name.toLatin1().constData(), value);
        set.append(name);
    }
    return set;
}

void ensureSessionBusAddress()
{
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return;
    QStringList candidates;
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty())
        candidates << QString::fromLocal8Bit(runtime) + QStringLiteral("/bus");
    candidates << QStringLiteral("/run/user/%1/bus").arg(::getuid());
    for (const QString &candidate : candidates) {
        struct stat st {};
        if (::stat(QFile::encodeName(candidate).constData(), &st) == 0 && S_ISSOCK(st.st_mode)) {
            qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + QFile::encodeName(candidate));
            return;
        }
    }
}

} // namespace cv::platform
