#include "FileCopy.h"

#include "UniqueFd.h"

#include <QFile>
#include <QList>

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace cv::history {

namespace {

// Large enough that the kernel copies at full speed, small enough that
// Cancel answers at once and the progress bar moves.
constexpr qint64 kPiece = 16 * 1024 * 1024;

QString errnoText(int error) { return QString::fromLocal8Bit(strerror(error)); }
QString shown(const QByteArray &path) { return readableName(path); }

// The mode, owner and times the copy gets: the record's, else the source's.
void metadataOf(const struct stat &st, const std::optional<Metadata> &given, Metadata &out)
{
    out = given.value_or(Metadata{unsigned(st.st_mode & 07777), st.st_uid, st.st_gid, st.st_atim, st.st_mtim});
}

// The owner only where we may give it (root restoring for another user).
void giveOwner(int fd, const char *path, const Metadata &m)
{
    if (geteuid() != 0)
        return;
    if (fd >= 0)
        (void)!fchown(fd, m.uid, m.gid);
    else if (path)
        (void)!lchown(path, m.uid, m.gid);
}

// One piece of file data: copy_file_range, else sendfile, else read/write.
ssize_t copyPiece(int in, int out, size_t length, bool &rangeWorks, bool &sendfileWorks)
{
    if (rangeWorks) {
        const ssize_t n = copy_file_range(in, nullptr, out, nullptr, length, 0);
        if (n >= 0)
            return n;
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
            return -1;
        rangeWorks = false;
    }
    if (sendfileWorks) {
        const ssize_t n = sendfile(out, in, nullptr, length);
        if (n >= 0)
            return n;
        if (errno != EINVAL && errno != ENOSYS)
            return -1;
        sendfileWorks = false;
    }
    static thread_local std::vector<char> buffer(1 << 20);
    const ssize_t n = read(in, buffer.data(), std::min(length, buffer.size()));
    if (n <= 0)
        return n;
    for (ssize_t written = 0; written < n;) {
        const ssize_t w = write(out, buffer.data() + written, size_t(n - written));
        if (w < 0)
            return -1;
        written += w;
    }
    return n;
}

} // namespace

void copyExtendedAttributes(int fromFd, int toFd)
{
    ssize_t size = flistxattr(fromFd, nullptr, 0);
    if (size <= 0)
        return;
    std::vector<char> names(size_t(size) + 1);
    size = flistxattr(fromFd, names.data(), names.size());
    if (size <= 0)
        return;
    std::vector<char> value;
    for (const char *name = names.data(); name < names.data() + size; name += strlen(name) + 1) {
        const ssize_t length = fgetxattr(fromFd, name, nullptr, 0);
        if (length < 0)
            continue;
        value.resize(size_t(length) + 1);
        const ssize_t got = fgetxattr(fromFd, name, value.data(), value.size());
        if (got >= 0)
            (void)fsetxattr(toFd, name, value.data(), size_t(got), 0);
    }
}

EntryCopier::EntryCopier(ProgressCallback progress, qint64 bytesTotal, int filesTotal)
    : m_callback(std::move(progress))
{
    m_progress.bytesTotal = bytesTotal;
    m_progress.filesTotal = filesTotal;
}

bool EntryCopier::fail(const QString &message)
{
    m_error = message;
    return false;
}

bool EntryCopier::report()
{
    if (m_callback && !m_callback(m_progress))
        m_cancelled = true;
    return !m_cancelled;
}

bool EntryCopier::copyEntry(const QByteArray &from, const QByteArray &to, const std::optional<Metadata> &metadata)
{
    m_error.clear();
    if (m_cancelled)
        return false;
    struct stat st;
    if (lstat(from.constData(), &st) != 0)
        return fail(QStringLiteral("Could not read '%1': %2").arg(shown(from), errnoText(errno)));
    Metadata m;
    metadataOf(st, metadata, m);

    if (S_ISDIR(st.st_mode)) {
        // Owner access until finishFolders, so that what it holds can be written.
        if (mkdir(to.constData(), 0700) != 0)
            return fail(QStringLiteral("Could not create the folder '%1': %2").arg(shown(to), errnoText(errno)));
        const UniqueFd in(open(from.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        const UniqueFd out(open(to.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (in && out)
            copyExtendedAttributes(in.get(), out.get());
        giveOwner(out.get(), to.constData(), m);
        m_folders.append({to, m.mode, {m.atime, m.mtime}});
        return true;
    }
    if (S_ISLNK(st.st_mode)) {
        std::vector<char> link(size_t(st.st_size) + 2);
        const ssize_t n = readlink(from.constData(), link.data(), link.size() - 1);
        if (n < 0)
            return fail(QStringLiteral("Could not read the link '%1': %2").arg(shown(from), errnoText(errno)));
        link[size_t(n)] = 0;
        if (symlink(link.data(), to.constData()) != 0)
            return fail(QStringLiteral("Could not create the link '%1': %2").arg(shown(to), errnoText(errno)));
        giveOwner(-1, to.constData(), m);
        const struct timespec times[2] = {m.atime, m.mtime};
        utimensat(AT_FDCWD, to.constData(), times, AT_SYMLINK_NOFOLLOW);
        ++m_progress.filesDone;
        return report();
    }
    if (S_ISREG(st.st_mode)) {
        struct stat withMetadata = st;
        withMetadata.st_mode = (st.st_mode & ~07777) | m.mode;
        withMetadata.st_uid = m.uid;
        withMetadata.st_gid = m.gid;
        withMetadata.st_atim = m.atime;
        withMetadata.st_mtim = m.mtime;
        return copyFile(from, to, withMetadata);
    }
    // Devices, sockets and pipes have no place in a mail backup.
    return fail(QStringLiteral("'%1' is not a file, folder or link; it was not restored.").arg(shown(from)));
}

bool EntryCopier::copyFile(const QByteArray &from, const QByteArray &to, const struct stat &st)
{
    const UniqueFd in(open(from.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!in)
        return fail(QStringLiteral("Could not read '%1': %2").arg(shown(from), errnoText(errno)));
    // O_EXCL: nothing that exists is ever written over.
    UniqueFd out(open(to.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out)
        return fail(QStringLiteral("Could not create '%1': %2").arg(shown(to), errnoText(errno)));
    bool rangeWorks = true, sendfileWorks = true;
    bool ok = true;
    QString problem;
    const qint64 before = m_progress.bytesDone;
    for (qint64 left = st.st_size; left > 0;) {
        const ssize_t n = copyPiece(in.get(), out.get(), size_t(std::min(left, kPiece)), rangeWorks, sendfileWorks);
        if (n < 0) {
            problem = QStringLiteral("Could not copy '%1' to '%2': %3").arg(shown(from), shown(to), errnoText(errno));
            ok = false;
            break;
        }
        if (n == 0)
            break; // the file became shorter while we copied
        left -= n;
        m_progress.bytesDone += n;
        if (!report()) {
            ok = false;
            break;
        }
    }
    if (ok) {
        copyExtendedAttributes(in.get(), out.get());
        giveOwner(out.get(), nullptr, Metadata{0, st.st_uid, st.st_gid, {}, {}});
        fchmod(out.get(), st.st_mode & 07777);
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        futimens(out.get(), times);
        if (out.close() != 0) {
            problem = QStringLiteral("Could not finish '%1': %2").arg(shown(to), errnoText(errno));
            ok = false;
        }
    }
    out.reset();
    if (!ok) {
        unlink(to.constData()); // ours, half written
        m_progress.bytesDone = before;
        return problem.isEmpty() ? false : fail(problem);
    }
    ++m_progress.filesDone;
    m_bytesWritten += m_progress.bytesDone - before;
    return report();
}

void EntryCopier::finishFolders()
{
    std::sort(m_folders.begin(), m_folders.end(),
              [](const Folder &a, const Folder &b) { return a.path.size() > b.path.size(); });
    for (const Folder &folder : std::as_const(m_folders)) {
        chmod(folder.path.constData(), folder.mode);
        utimensat(AT_FDCWD, folder.path.constData(), folder.times, AT_SYMLINK_NOFOLLOW);
    }
    m_folders.clear();
}

} // namespace cv::history
