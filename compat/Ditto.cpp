#include "Ditto.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace cv::compat {

namespace {

// One call moves a whole 100 MB file; the kernel caps it near 2 GB anyway.
constexpr size_t kCopyChunk = size_t(1) << 30;
constexpr size_t kBufferSize = size_t(1) << 20;
constexpr size_t kFolderBufferSize = 64 * 1024;

bool isDotOrDotDot(const char *name)
{
    return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

// "a/b//" -> "a/b"; "/" -> "" so that joining with "/name" stays right.
std::string withoutTrailingSlashes(const std::string &path)
{
    std::string p = path;
    while (!p.empty() && p.back() == '/')
        p.pop_back();
    return p;
}

std::string lastComponent(const std::string &path)
{
    const std::string p = withoutTrailingSlashes(path);
    const size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string parentOf(const std::string &path)
{
    const std::string p = withoutTrailingSlashes(path);
    const size_t slash = p.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return p.substr(0, slash);
}

// Length of a well-formed UTF-8 sequence at s, 0 when malformed.
size_t utf8Length(std::string_view s)
{
    const auto c = static_cast<unsigned char>(s[0]);
    size_t n;
    unsigned min;
    if (c < 0x80)
        return 1;
    if ((c & 0xE0) == 0xC0) {
        n = 2;
        min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3;
        min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (s.size() < n)
        return 0;
    unsigned cp = c & (0x7F >> n);
    for (size_t i = 1; i < n; ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        if ((b & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

void raiseFileLimit()
{
    // Two descriptors stay open per folder level; deep trees need more than
    // the usual soft limit of 1024.
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

bool isDestinationError(int err)
{
    return err == ENOSPC || err == EDQUOT || err == EFBIG || err == EROFS;
}

} // namespace

std::optional<DittoCommand> parseDittoArguments(const std::vector<std::string> &args,
                                                std::string &error)
{
    DittoCommand command;
    std::vector<std::string> operands;
    bool optionsEnded = false;
    for (const std::string &arg : args) {
        if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            if (arg == "--") {
                optionsEnded = true;
            } else if (arg == "-rsrc" || arg == "--rsrc") {
                command.options.keepExtendedAttributes = true;
            } else if (arg == "-norsrc" || arg == "--norsrc") {
                command.options.keepExtendedAttributes = false;
            } else {
                error = "unknown option " + printablePath(arg);
                return std::nullopt;
            }
            continue;
        }
        operands.push_back(arg);
    }
    if (operands.size() != 2) {
        error = "expected a source and a destination";
        return std::nullopt;
    }
    if (operands[0].empty() || operands[1].empty()) {
        error = "empty path";
        return std::nullopt;
    }
    command.source = operands[0];
    command.destination = operands[1];
    return command;
}

std::string printablePath(std::string_view path)
{
    static const char digits[] = "01234567";
    std::string out;
    out.reserve(path.size());
    while (!path.empty()) {
        const auto c = static_cast<unsigned char>(path[0]);
        const size_t n = utf8Length(path);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (n == 0 || c < 0x20 || c == 0x7F) {
            out += '\\';
            out += digits[(c >> 6) & 7];
            out += digits[(c >> 3) & 7];
            out += digits[c & 7];
        } else {
            out.append(path.substr(0, n));
            path.remove_prefix(n);
            continue;
        }
        path.remove_prefix(1);
    }
    return out;
}

Ditto::Ditto(DittoOptions options, std::FILE *errors)
    : m_options(options)
    , m_errors(errors)
{
}

Ditto::~Ditto()
{
    if (m_dstRootFd >= 0)
        close(m_dstRootFd);
}

bool Ditto::copy(const std::string &source, const std::string &destination)
{
    raiseFileLimit();
    // The operands themselves are followed when they are links: they are
    // what the caller named. Links inside the tree are never followed.
    struct stat st;
    if (stat(source.c_str(), &st) != 0) {
        fail(source, std::strerror(errno));
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        copyOtherOperand(source, st, destination);
        return m_failures == 0;
    }
    const int srcFd = open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (srcFd < 0 || fstat(srcFd, &st) != 0) {
        fail(source, std::strerror(errno));
        if (srcFd >= 0)
            close(srcFd);
        return false;
    }
    m_src = withoutTrailingSlashes(source);
    m_dst = withoutTrailingSlashes(destination);
    m_dstRootLength = m_dst.size();
    copyFolderOperand(srcFd, st, destination);
    close(srcFd);
    return m_failures == 0;
}

int Ditto::makeFolders(const std::string &path)
{
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/')
            continue;
        if (path[i - 1] == '/')
            continue;
        const std::string prefix = path.substr(0, i);
        if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
            fail(prefix, std::strerror(errno));
            return -1;
        }
    }
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        fail(path, std::strerror(errno));
        return -1;
    }
    // A folder left without owner access (say by an earlier copy of a
    // read-only folder) must still take new entries; the final mode is set
    // after the contents.
    struct stat st;
    if (fstat(fd, &st) == 0 && (st.st_mode & 0700) != 0700)
        fchmod(fd, (st.st_mode & 07777) | 0700);
    return fd;
}

void Ditto::copyFolderOperand(int srcFd, const struct stat &st, const std::string &destination)
{
    const int dstFd = makeFolders(destination);
    if (dstFd < 0)
        return;
    struct stat dst;
    if (fstat(dstFd, &dst) != 0) {
        fail(destination, std::strerror(errno));
        close(dstFd);
        return;
    }
    if (dst.st_dev == st.st_dev && dst.st_ino == st.st_ino) {
        fail(destination, "source and destination are the same folder");
        close(dstFd);
        return;
    }
    m_dstRootFd = dstFd;
    // The destination may lie inside the source: the walk skips it, so the
    // copy never descends into what it is writing.
    m_dstRoot = {dst.st_dev, dst.st_ino};
    m_ancestors.assign(1, InodeKey{st.st_dev, st.st_ino});
    copyFolderContents(srcFd, dstFd, 0);
    finishFolder(srcFd, dstFd, st);
    m_dstRootFd = -1;
    close(dstFd);
}

void Ditto::copyOtherOperand(const std::string &source, const struct stat &operand,
                             const std::string &destination)
{
    struct stat dst;
    const bool intoFolder = (stat(destination.c_str(), &dst) == 0 && S_ISDIR(dst.st_mode))
        || destination.back() == '/';
    const std::string folder = intoFolder ? destination : parentOf(destination);
    const std::string name = lastComponent(intoFolder ? source : destination);
    if (name.empty() || name == "." || name == "..") {
        fail(destination, std::strerror(EINVAL));
        return;
    }
    const int dirFd = makeFolders(folder);
    if (dirFd < 0)
        return;
    m_src = source;
    m_dst = withoutTrailingSlashes(folder) + "/" + name;

    if (S_ISREG(operand.st_mode)) {
        const int in = open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        struct stat st;
        if (in < 0 || fstat(in, &st) != 0) {
            failSource(errno);
        } else if (!S_ISREG(st.st_mode)) {
            copySpecial(st, dirFd, name.c_str());
        } else {
            copyRegular(in, st, dirFd, name.c_str());
        }
        if (in >= 0)
            close(in);
    } else {
        copySpecial(operand, dirFd, name.c_str());
    }
    close(dirFd);
}

bool Ditto::readFolder(int srcDirFd, Level &level)
{
    level.names.clear();
    level.entries.clear();
    if (m_folderBuffer.empty())
        m_folderBuffer.resize(kFolderBufferSize);
    for (;;) {
        const ssize_t n = getdents64(srcDirFd, m_folderBuffer.data(), m_folderBuffer.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            failSource(errno);
            return false;
        }
        if (n == 0)
            break;
        for (ssize_t pos = 0; pos < n;) {
            const auto *d = reinterpret_cast<const struct dirent64 *>(m_folderBuffer.data() + pos);
            pos += d->d_reclen;
            if (isDotOrDotDot(d->d_name))
                continue;
            level.entries.push_back({d->d_ino, static_cast<unsigned>(level.names.size()), d->d_type});
            level.names.append(d->d_name, std::strlen(d->d_name) + 1);
        }
    }
    // Inode order reads the disk mostly forward.
    std::sort(level.entries.begin(), level.entries.end(),
              [](const Entry &a, const Entry &b) { return a.inode < b.inode; });
    return true;
}

void Ditto::copyFolderContents(int srcDirFd, int dstDirFd, unsigned depth)
{
    while (m_levels.size() <= depth)
        m_levels.emplace_back();
    // Read in full first: the folder's buffer is given back before going
    // deeper, and entries created meanwhile are never walked.
    Level &level = m_levels[depth];
    if (!readFolder(srcDirFd, level))
        return;
    for (const Entry &entry : level.entries)
        copyEntry(srcDirFd, dstDirFd, level.names.data() + entry.nameOffset, entry.type, depth);
}

void Ditto::copyEntry(int srcDirFd, int dstDirFd, const char *name, unsigned char type,
                      unsigned depth)
{
    const size_t srcLength = m_src.size();
    const size_t dstLength = m_dst.size();
    m_src += '/';
    m_src += name;
    m_dst += '/';
    m_dst += name;

    struct stat st;
    int fd = -1;
    bool known = false;
    if (type == DT_REG || type == DT_DIR) {
        // O_NONBLOCK: should the entry have become a pipe meanwhile, the open
        // must not wait for a writer.
        const int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY
            | (type == DT_DIR ? O_DIRECTORY : O_NONBLOCK);
        fd = openat(srcDirFd, name, flags);
        if (fd >= 0) {
            if (fstat(fd, &st) != 0) {
                failSource(errno);
                close(fd);
                goto done;
            }
            known = true;
        } else if (errno != ELOOP && errno != ENOTDIR) {
            failSource(errno);
            goto done;
        }
    }
    if (!known && fstatat(srcDirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        failSource(errno);
        goto done;
    }

    if (S_ISDIR(st.st_mode)) {
        if (st.st_dev == m_dstRoot.dev && st.st_ino == m_dstRoot.ino) {
            if (fd >= 0)
                close(fd);
            goto done;
        }
        // A folder that is its own ancestor (a bind mount) would never end.
        if (std::find(m_ancestors.begin(), m_ancestors.end(), InodeKey{st.st_dev, st.st_ino})
            != m_ancestors.end()) {
            fail(m_src, "folder contains itself; not copied again");
            if (fd >= 0)
                close(fd);
            goto done;
        }
        if (fd < 0) {
            fd = openat(srcDirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0 || fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode)) {
                failSource(fd < 0 ? errno : ENOTDIR);
                if (fd >= 0)
                    close(fd);
                goto done;
            }
        }
        copyFolder(fd, st, dstDirFd, name, depth);
    } else if (S_ISREG(st.st_mode)) {
        if (fd < 0) {
            fd = openat(srcDirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
            if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
                failSource(fd < 0 ? errno : EAGAIN);
                if (fd >= 0)
                    close(fd);
                goto done;
            }
        }
        if (st.st_nlink < 2 || !linkToEarlierCopy(st, dstDirFd, name))
            copyRegular(fd, st, dstDirFd, name);
    } else {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
        if (st.st_nlink < 2 || !linkToEarlierCopy(st, dstDirFd, name)) {
            if (S_ISLNK(st.st_mode))
                copyLink(srcDirFd, name, st, dstDirFd, name);
            else
                copySpecial(st, dstDirFd, name);
        }
    }
    if (fd >= 0)
        close(fd);
done:
    m_src.resize(srcLength);
    m_dst.resize(dstLength);
}

void Ditto::copyFolder(int srcFd, const struct stat &st, int dstDirFd, const char *name,
                       unsigned depth)
{
    if (mkdirat(dstDirFd, name, 0700) != 0) {
        if (errno != EEXIST) {
            failDestination(errno);
            return;
        }
        struct stat existing;
        if (fstatat(dstDirFd, name, &existing, AT_SYMLINK_NOFOLLOW) != 0) {
            failDestination(errno);
            return;
        }
        if (S_ISLNK(existing.st_mode)) {
            // A link where the folder belongs is replaced, never followed:
            // following it would write outside the destination.
            if (unlinkat(dstDirFd, name, 0) != 0 || mkdirat(dstDirFd, name, 0700) != 0) {
                failDestination(errno);
                return;
            }
        } else if (!S_ISDIR(existing.st_mode)) {
            // A file of the user's stands there; it is not ours to delete.
            failDestination(EEXIST);
            return;
        } else if ((existing.st_mode & 0700) != 0700) {
            fchmodat(dstDirFd, name, (existing.st_mode & 07777) | 0700, 0);
        }
    }
    const int dstFd = openat(dstDirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dstFd < 0) {
        failDestination(errno);
        return;
    }
    m_ancestors.push_back({st.st_dev, st.st_ino});
    copyFolderContents(srcFd, dstFd, depth + 1);
    m_ancestors.pop_back();
    finishFolder(srcFd, dstFd, st);
    close(dstFd);
}

void Ditto::finishFolder(int srcFd, int dstFd, const struct stat &st)
{
    if (m_options.keepExtendedAttributes)
        copyAttributes(srcFd, dstFd);
    mode_t mode = st.st_mode & 07777;
    if (fchown(dstFd, st.st_uid, st.st_gid) != 0)
        mode &= ~mode_t(S_ISUID | S_ISGID);
    if (fchmod(dstFd, mode) != 0)
        failDestination(errno);
    // Last, after the contents: every entry written changed the time.
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if (futimens(dstFd, times) != 0)
        failDestination(errno);
}

void Ditto::nextTempName(std::string &tempName)
{
    tempName = ".ditto-" + std::to_string(getpid()) + "-" + std::to_string(++m_tempCounter);
}

template<class Make>
bool Ditto::placeEntry(int dstDirFd, const char *name, Make make)
{
    int err = make(name);
    if (err == 0)
        return true;
    if (err != EEXIST) {
        failDestination(err);
        return false;
    }
    // Something stands there already: build the new entry aside and rename
    // it over, so a link there is replaced rather than written through, a
    // read-only or shared file is never modified, and the old entry stays
    // whole until the new one is complete.
    struct stat existing;
    if (fstatat(dstDirFd, name, &existing, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(existing.st_mode)) {
        failDestination(EISDIR);
        return false;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        nextTempName(m_tempName);
        err = make(m_tempName.c_str());
        if (err != EEXIST)
            break;
    }
    if (err != 0) {
        failDestination(err);
        return false;
    }
    if (renameat(dstDirFd, m_tempName.c_str(), dstDirFd, name) != 0) {
        err = errno;
        unlinkat(dstDirFd, m_tempName.c_str(), 0);
        failDestination(err);
        return false;
    }
    return true;
}

void Ditto::copyRegular(int srcFd, const struct stat &st, int dstDirFd, const char *name)
{
    int out = openat(dstDirFd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool aside = false;
    if (out < 0 && errno == EEXIST) {
        // Replace, never write into the existing entry (see placeEntry).
        struct stat existing;
        if (fstatat(dstDirFd, name, &existing, AT_SYMLINK_NOFOLLOW) == 0
            && S_ISDIR(existing.st_mode)) {
            failDestination(EISDIR);
            return;
        }
        aside = true;
        for (int attempt = 0; attempt < 100; ++attempt) {
            nextTempName(m_tempName);
            out = openat(dstDirFd, m_tempName.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (out >= 0 || errno != EEXIST)
                break;
        }
    }
    if (out < 0) {
        failDestination(errno);
        return;
    }
    const char *written = aside ? m_tempName.c_str() : name;
    if (!copyData(srcFd, out)) {
        close(out);
        unlinkat(dstDirFd, written, 0);
        return;
    }
    if (m_options.keepExtendedAttributes)
        copyAttributes(srcFd, out);
    mode_t mode = st.st_mode & 07777;
    if (fchown(out, st.st_uid, st.st_gid) != 0)
        mode &= ~mode_t(S_ISUID | S_ISGID);
    if (fchmod(out, mode) != 0)
        failDestination(errno);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if (futimens(out, times) != 0)
        failDestination(errno);
    if (close(out) != 0) {
        failDestination(errno);
        unlinkat(dstDirFd, written, 0);
        return;
    }
    if (aside && renameat(dstDirFd, written, dstDirFd, name) != 0) {
        const int err = errno;
        unlinkat(dstDirFd, written, 0);
        failDestination(err);
        return;
    }
    if (st.st_nlink > 1)
        rememberCopy(st);
}

bool Ditto::copyData(int in, int out)
{
    if (m_copyRangeWorks) {
        for (;;) {
            const ssize_t n = copy_file_range(in, nullptr, out, nullptr, kCopyChunk, 0);
            if (n > 0)
                continue;
            if (n == 0)
                return true;
            if (errno == EINTR)
                continue;
            if (errno == ENOSYS || errno == EXDEV || errno == EOPNOTSUPP || errno == EINVAL) {
                // Not across these file systems: plain reads and writes for
                // the rest of the run. The offsets have moved with what was
                // copied, so the fallback simply continues.
                m_copyRangeWorks = false;
                break;
            }
            const int err = errno;
            isDestinationError(err) ? failDestination(err) : failSource(err);
            return false;
        }
    }
    if (m_buffer.empty())
        m_buffer.resize(kBufferSize);
    for (;;) {
        const ssize_t n = read(in, m_buffer.data(), m_buffer.size());
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            failSource(errno);
            return false;
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = write(out, m_buffer.data() + done, size_t(n - done));
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                failDestination(errno);
                return false;
            }
            done += w;
        }
    }
}

bool Ditto::copyAttributes(int in, int out)
{
    // The buffers are never empty: a zero size would ask for the length only.
    ssize_t length;
    for (;;) {
        length = flistxattr(in, m_attrNames.data(), m_attrNames.size());
        if (length >= 0)
            break;
        if (errno == ENOTSUP || errno == EOPNOTSUPP)
            return true; // the source holds none
        const ssize_t needed = errno == ERANGE ? flistxattr(in, nullptr, 0) : -1;
        if (needed < 0) {
            failSource(errno);
            return false;
        }
        m_attrNames.resize(size_t(needed) + 4096);
    }
    bool ok = true;
    for (ssize_t pos = 0; pos < length;) {
        const char *attr = m_attrNames.data() + pos;
        pos += ssize_t(std::strlen(attr)) + 1;
        ssize_t size;
        for (;;) {
            size = fgetxattr(in, attr, m_attrValue.data(), m_attrValue.size());
            if (size >= 0 || errno != ERANGE)
                break;
            const ssize_t needed = fgetxattr(in, attr, nullptr, 0);
            if (needed < 0)
                break;
            m_attrValue.resize(size_t(needed) + 4096);
        }
        if (size < 0) {
            if (errno == ENODATA)
                continue; // removed meanwhile
            fail(m_src, (std::string("cannot read extended attribute ") + printablePath(attr) + ": "
                         + std::strerror(errno)).c_str());
            ok = false;
            continue;
        }
        if (fsetxattr(out, attr, m_attrValue.data(), size_t(size), 0) != 0) {
            const int err = errno;
            // Attributes the system owns (access lists, security labels)
            // may be refused by the destination; the user's own must arrive.
            const bool userAttr = std::strncmp(attr, "user.", 5) == 0;
            if (!userAttr && (err == EPERM || err == ENOTSUP || err == EOPNOTSUPP || err == EACCES))
                continue;
            // A destination file system without extended attributes (a FAT
            // drive, say) can never keep them; failing every backup to it
            // would make the backup useless. Say so once and go on.
            if (err == ENOTSUP || err == EOPNOTSUPP) {
                if (!m_attributesUnsupportedReported) {
                    m_attributesUnsupportedReported = true;
                    std::fprintf(stderr, "ditto: %s: the destination does not keep extended attributes; "
                                         "they were not copied\n", printablePath(m_dst).c_str());
                }
                continue;
            }
            fail(m_dst, (std::string("cannot keep extended attribute ") + printablePath(attr) + ": "
                         + std::strerror(err)).c_str());
            ok = false;
        }
    }
    return ok;
}

void Ditto::copyLink(int srcDirFd, const char *srcName, const struct stat &st, int dstDirFd,
                     const char *name)
{
    m_linkTarget.resize(size_t(st.st_size > 0 ? st.st_size : 255) + 1);
    ssize_t n;
    for (;;) {
        n = readlinkat(srcDirFd, srcName, m_linkTarget.data(), m_linkTarget.size());
        if (n < 0) {
            failSource(errno);
            return;
        }
        if (size_t(n) < m_linkTarget.size())
            break;
        m_linkTarget.resize(m_linkTarget.size() * 2);
    }
    m_linkTarget[size_t(n)] = 0;
    // The target text is copied as it is; the link is never followed.
    const char *target = m_linkTarget.data();
    if (!placeEntry(dstDirFd, name, [&](const char *n) {
            return symlinkat(target, dstDirFd, n) == 0 ? 0 : errno;
        }))
        return;
    fchownat(dstDirFd, name, st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if (utimensat(dstDirFd, name, times, AT_SYMLINK_NOFOLLOW) != 0)
        failDestination(errno);
    if (st.st_nlink > 1)
        rememberCopy(st);
}

void Ditto::copySpecial(const struct stat &st, int dstDirFd, const char *name)
{
    // Pipes, sockets and devices are made anew, never opened: reading a pipe
    // would wait for ever, reading a device would copy whatever it produces.
    const mode_t type = st.st_mode & S_IFMT;
    if (!placeEntry(dstDirFd, name, [&](const char *n) {
            const int r = S_ISFIFO(st.st_mode) ? mkfifoat(dstDirFd, n, 0600)
                                               : mknodat(dstDirFd, n, type | 0600, st.st_rdev);
            return r == 0 ? 0 : errno;
        }))
        return;
    mode_t mode = st.st_mode & 07777;
    if (fchownat(dstDirFd, name, st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW) != 0)
        mode &= ~mode_t(S_ISUID | S_ISGID);
    if (fchmodat(dstDirFd, name, mode, AT_SYMLINK_NOFOLLOW) != 0)
        failDestination(errno);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if (utimensat(dstDirFd, name, times, AT_SYMLINK_NOFOLLOW) != 0)
        failDestination(errno);
    if (st.st_nlink > 1)
        rememberCopy(st);
}

bool Ditto::linkToEarlierCopy(const struct stat &st, int dstDirFd, const char *name)
{
    if (m_dstRootFd < 0)
        return false;
    const auto found = m_linked.find({st.st_dev, st.st_ino});
    if (found == m_linked.end())
        return false;
    const char *first = found->second.c_str();
    if (linkat(m_dstRootFd, first, dstDirFd, name, 0) == 0)
        return true;
    if (errno == EEXIST) {
        // An earlier run may have made this very link already.
        struct stat existing, target;
        if (fstatat(dstDirFd, name, &existing, AT_SYMLINK_NOFOLLOW) == 0
            && fstatat(m_dstRootFd, first, &target, AT_SYMLINK_NOFOLLOW) == 0
            && existing.st_dev == target.st_dev && existing.st_ino == target.st_ino)
            return true;
    }
    placeEntry(dstDirFd, name, [&](const char *n) {
        return linkat(m_dstRootFd, first, dstDirFd, n, 0) == 0 ? 0 : errno;
    });
    return true;
}

void Ditto::rememberCopy(const struct stat &st)
{
    if (m_dstRootFd < 0 || m_dst.size() <= m_dstRootLength + 1)
        return;
    m_linked.emplace(InodeKey{st.st_dev, st.st_ino}, m_dst.substr(m_dstRootLength + 1));
}

void Ditto::failSource(int err)
{
    fail(m_src, std::strerror(err));
}

void Ditto::failDestination(int err)
{
    fail(m_dst, std::strerror(err));
}

void Ditto::fail(const std::string &path, const char *reason)
{
    ++m_failures;
    // One write per line, so lines never interleave in a shared log.
    std::string line = "ditto: ";
    line += printablePath(path.empty() ? std::string("/") : path);
    line += ": ";
    line += reason;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), m_errors);
    std::fflush(m_errors);
}

} // namespace cv::compat
