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

bool sameTime(const timespec &a, const timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

const char *kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return "folder";
    if (S_ISREG(mode))
        return "file";
    if (S_ISLNK(mode))
        return "link";
    return "special file";
}

timespec wallClock()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now;
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
    , m_clock(wallClock)
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
    if (fstat(fd, &st) == 0 && (st.st_mode & 0700) != 0700
        && faccessat(AT_FDCWD, path.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
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
    copyFolderContents(srcFd, dstFd, 0, false);
    finishFolder(srcFd, dstFd, st, false);
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
            int fd = in;
            copyRegular(AT_FDCWD, source.c_str(), fd, st, dirFd, name.c_str(), false);
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

void Ditto::copyFolderContents(int srcDirFd, int dstDirFd, unsigned depth, bool fresh)
{
    while (m_levels.size() <= depth)
        m_levels.emplace_back();
    // Read in full first: the folder's buffer is given back before going
    // deeper, and entries created meanwhile are never walked.
    Level &level = m_levels[depth];
    if (!readFolder(srcDirFd, level))
        return;
    for (const Entry &entry : level.entries)
        copyEntry(srcDirFd, dstDirFd, level.names.data() + entry.nameOffset, entry.type, depth, fresh);
}

void Ditto::copyEntry(int srcDirFd, int dstDirFd, const char *name, unsigned char type,
                      unsigned depth, bool fresh)
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
    // A file that may already be in the destination is looked at first and
    // opened only when it is to be read (see copyRegular).
    if ((type == DT_REG && fresh) || type == DT_DIR) {
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
        if (st.st_nlink < 2 || !linkToEarlierCopy(st, dstDirFd, name))
            copyRegular(srcDirFd, name, fd, st, dstDirFd, name, fresh);
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
    bool fresh = mkdirat(dstDirFd, name, 0700) == 0;
    if (!fresh) {
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
            fresh = true;
        } else if (!S_ISDIR(existing.st_mode)) {
            // The source entry was a file at the last copy. Its copy may be
            // all the user has of it: kept aside, never deleted.
            if (!moveAside(dstDirFd, name, existing, st))
                return;
            if (mkdirat(dstDirFd, name, 0700) != 0) {
                failDestination(errno);
                return;
            }
            fresh = true;
        } else if ((existing.st_mode & 0700) != 0700
                   && faccessat(dstDirFd, name, W_OK | X_OK, AT_EACCESS) != 0) {
            // Only when needed: a repeat that finds nothing to do changes nothing.
            fchmodat(dstDirFd, name, (existing.st_mode & 07777) | 0700, 0);
        }
    }
    const int dstFd = openat(dstDirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dstFd < 0) {
        failDestination(errno);
        return;
    }
    m_ancestors.push_back({st.st_dev, st.st_ino});
    copyFolderContents(srcFd, dstFd, depth + 1, fresh);
    m_ancestors.pop_back();
    finishFolder(srcFd, dstFd, st, fresh);
    close(dstFd);
}

void Ditto::finishFolder(int srcFd, int dstFd, const struct stat &st, bool fresh)
{
    // A folder is merged, never replaced: attributes are added or updated,
    // none are taken away, as a copy onto an existing folder has always done.
    if (m_options.keepExtendedAttributes)
        copyAttributes(srcFd, dstFd, fresh ? Attributes::New : Attributes::Merge);
    struct stat existing;
    const bool known = !fresh && fstat(dstFd, &existing) == 0;
    if (!setOwnerAndMode(dstFd, st, known ? &existing : nullptr))
        failDestination(errno);
    // Last, after the contents: every entry written changed the time. A
    // folder whose time already matches had nothing written into it.
    if (known && sameTime(existing.st_mtim, st.st_mtim))
        return;
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if (futimens(dstFd, times) != 0)
        failDestination(errno);
}

bool Ditto::setOwnerAndMode(int fd, const struct stat &st, const struct stat *existing)
{
    mode_t mode = st.st_mode & 07777;
    if (!existing || existing->st_uid != st.st_uid || existing->st_gid != st.st_gid) {
        // Where the owner cannot be kept, neither can the set-id bits.
        if (fchown(fd, st.st_uid, st.st_gid) != 0)
            mode &= ~mode_t(S_ISUID | S_ISGID);
        existing = nullptr; // a change of owner may have cleared the set-id bits
    }
    if (existing && (existing->st_mode & 07777) == mode)
        return true;
    return fchmod(fd, mode) == 0;
}

bool Ditto::moveAside(int dstDirFd, const char *name, const struct stat &existing,
                      const struct stat &incoming)
{
    const time_t now = m_clock().tv_sec;
    tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string base = std::string(name) + ".replaced-" + stamp;
    std::string aside = base;
    for (int n = 2;; ++n) {
        int r = renameat2(dstDirFd, name, dstDirFd, aside.c_str(), RENAME_NOREPLACE);
        if (r != 0 && errno == EINVAL) {
            // A file system without the no-replace rename: look, then rename.
            struct stat taken;
            if (fstatat(dstDirFd, aside.c_str(), &taken, AT_SYMLINK_NOFOLLOW) == 0)
                errno = EEXIST;
            else
                r = renameat(dstDirFd, name, dstDirFd, aside.c_str());
        }
        if (r == 0)
            break;
        if (errno != EEXIST || n > 100) {
            failDestination(errno);
            return false;
        }
        aside = base + "-" + std::to_string(n); // two changes in one second
    }
    // Not a failure: the backup goes on and succeeds. One write per line.
    std::string line = "ditto: " + printablePath(m_dst) + ": now a " + kindOf(incoming.st_mode)
        + "; the " + kindOf(existing.st_mode) + " that was here was moved to "
        + printablePath(aside) + "\n";
    std::fwrite(line.data(), 1, line.size(), m_errors);
    std::fflush(m_errors);
    return true;
}

void Ditto::nextTempName(std::string &tempName)
{
    tempName = ".ditto-" + std::to_string(getpid()) + "-" + std::to_string(++m_tempCounter);
}

template<class Make, class Reuse>
Ditto::Placed Ditto::placeEntry(int dstDirFd, const char *name, const struct stat &st, Make make,
                                Reuse reuse)
{
    int err = make(name);
    if (err == 0)
        return Placed::New;
    if (err != EEXIST) {
        failDestination(err);
        return Placed::Failed;
    }
    struct stat existing;
    if (fstatat(dstDirFd, name, &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(existing.st_mode)) {
            // The source entry was a folder at the last copy.
            if (!moveAside(dstDirFd, name, existing, st))
                return Placed::Failed;
            err = make(name);
            if (err == 0)
                return Placed::New;
            failDestination(err);
            return Placed::Failed;
        }
        if (reuse(existing))
            return Placed::Kept;
    }
    // Something stands there already: build the new entry aside and rename
    // it over, so a link there is replaced rather than written through, a
    // read-only or shared file is never modified, and the old entry stays
    // whole until the new one is complete.
    for (int attempt = 0; attempt < 100; ++attempt) {
        nextTempName(m_tempName);
        err = make(m_tempName.c_str());
        if (err != EEXIST)
            break;
    }
    if (err != 0) {
        failDestination(err);
        return Placed::Failed;
    }
    if (renameat(dstDirFd, m_tempName.c_str(), dstDirFd, name) != 0) {
        err = errno;
        unlinkat(dstDirFd, m_tempName.c_str(), 0);
        failDestination(err);
        return Placed::Failed;
    }
    return Placed::New;
}

bool Ditto::linkCountFits(const struct stat &st, const struct stat &existing)
{
    // A destination shared with names the copy would not link to it (by the
    // user, or by an earlier copy of a group since split up) is not the
    // copy's to keep: a full copy would give a file of its own.
    if (st.st_nlink < 2)
        return existing.st_nlink < 2;
    if (existing.st_nlink > st.st_nlink)
        return false;
    const InodeKey source{st.st_dev, st.st_ino};
    const auto [kept, added] = m_kept.emplace(InodeKey{existing.st_dev, existing.st_ino}, source);
    return added || kept->second == source;
}

int Ditto::openSource(int srcDirFd, const char *name, int &fd, struct stat &st)
{
    // O_NONBLOCK: should the entry have become a pipe meanwhile, the open
    // must not wait for a writer.
    fd = openat(srcDirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat now;
    int err = 0;
    if (fd < 0 || fstat(fd, &now) != 0)
        err = errno;
    else if (!S_ISREG(now.st_mode))
        err = EAGAIN;
    if (err != 0) {
        if (fd >= 0)
            close(fd);
        fd = -1;
        return err;
    }
    st = now;
    return 0;
}

bool Ditto::reuseRegular(int srcDirFd, const char *srcName, int &srcFd, struct stat &st,
                         const struct stat &existing, int dstDirFd, const char *name)
{
    // The quick check: a file of the same size and modification time (to the
    // nanosecond) is taken as unchanged, its contents are not read. Its blind
    // spot: a file rewritten with the same size and then set back to its old
    // time is not noticed. Any other write changes the time.
    if (!S_ISREG(existing.st_mode) || existing.st_size != st.st_size
        || !sameTime(existing.st_mtim, st.st_mtim))
        return false;
    // A time in the future, or in this very second, proves nothing: the file
    // may be written again within the clock's resolution and keep it.
    if (st.st_mtim.tv_sec >= m_clock().tv_sec)
        return false;
    if (!linkCountFits(st, existing))
        return false;
    // Attributes are compared only where the source changed (its change time
    // moves with every attribute written) since the destination was last
    // written, which is when they were copied. Reading them for every file
    // would double the cost of a repeat. This trusts, as the quick check
    // does, that an earlier copy with attributes wrote the destination.
    // Without -rsrc they are not looked at: such a copy never touches them.
    const bool attributesMayDiffer = m_options.keepExtendedAttributes
        && (st.st_ctim.tv_sec > existing.st_ctim.tv_sec
            || (st.st_ctim.tv_sec == existing.st_ctim.tv_sec && st.st_ctim.tv_nsec >= existing.st_ctim.tv_nsec));
    const bool sameOwner = existing.st_uid == st.st_uid && existing.st_gid == st.st_gid;
    if (sameOwner && (existing.st_mode & 07777) == (st.st_mode & 07777) && !attributesMayDiffer)
        return true;
    if (attributesMayDiffer && srcFd < 0) {
        const struct stat seen = st;
        if (openSource(srcDirFd, srcName, srcFd, st) != 0 || st.st_ino != seen.st_ino
            || st.st_size != seen.st_size || !sameTime(st.st_mtim, seen.st_mtim))
            return false; // changed meanwhile: copied anew
    }
    // Metadata only, through a descriptor of the very file just looked at.
    const int fd = openat(dstDirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat current;
    bool ok = fstat(fd, &current) == 0 && current.st_dev == existing.st_dev
        && current.st_ino == existing.st_ino;
    if (ok && attributesMayDiffer)
        ok = copyAttributes(srcFd, fd, Attributes::Same, true);
    if (ok)
        ok = setOwnerAndMode(fd, st, &current);
    close(fd);
    // On any trouble the file is copied anew, which reports what fails.
    return ok;
}

void Ditto::copyRegular(int srcDirFd, const char *srcName, int &srcFd, const struct stat &found,
                        int dstDirFd, const char *name, bool fresh)
{
    constexpr int kCreate = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    struct stat st = found;
    // In a folder this run made, nothing can stand in the way yet.
    struct stat existing;
    bool exists = false;
    if (!fresh) {
        exists = fstatat(dstDirFd, name, &existing, AT_SYMLINK_NOFOLLOW) == 0;
        if (!exists && errno != ENOENT) {
            failDestination(errno);
            return;
        }
    }
    if (exists && !S_ISDIR(existing.st_mode)
        && reuseRegular(srcDirFd, srcName, srcFd, st, existing, dstDirFd, name)) {
        if (st.st_nlink > 1)
            rememberCopy(st);
        return;
    }
    // Read only now: a repeat leaves most files unopened.
    if (srcFd < 0) {
        const int err = openSource(srcDirFd, srcName, srcFd, st);
        if (err != 0) {
            failSource(err);
            return;
        }
    }
    // The source entry was a folder at the last copy.
    if (exists && S_ISDIR(existing.st_mode) && !moveAside(dstDirFd, name, existing, st))
        return;
    const bool replace = exists && !S_ISDIR(existing.st_mode);
    int out = replace ? -1 : openat(dstDirFd, name, kCreate, 0600);
    bool aside = false;
    if (replace || (out < 0 && errno == EEXIST)) {
        // Replace, never write into the existing entry (see placeEntry).
        aside = true;
        for (int attempt = 0; attempt < 100; ++attempt) {
            nextTempName(m_tempName);
            out = openat(dstDirFd, m_tempName.c_str(), kCreate, 0600);
            if (out >= 0 || errno != EEXIST)
                break;
        }
    }
    if (out < 0) {
        failDestination(errno);
        return;
    }
    const char *written = aside ? m_tempName.c_str() : name;
    if (!copyData(srcFd, out, st)) {
        close(out);
        unlinkat(dstDirFd, written, 0);
        return;
    }
    if (m_options.keepExtendedAttributes)
        copyAttributes(srcFd, out, Attributes::New);
    if (!setOwnerAndMode(out, st, nullptr))
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

bool Ditto::copyData(int in, int out, const struct stat &st)
{
    // Only a file that takes less room than its size can hold holes; the
    // others are copied in one go without looking for them.
    if (st.st_size > 0 && off_t(st.st_blocks) * 512 < st.st_size) {
        off_t pos = 0;
        for (;;) {
            const off_t data = lseek(in, pos, SEEK_DATA);
            if (data < 0) {
                if (errno == ENXIO)
                    break; // a hole up to the end
                if (pos == 0 && (errno == EINVAL || errno == EOPNOTSUPP))
                    return copyRange(in, out, 0, -1); // holes cannot be found here
                failSource(errno);
                return false;
            }
            const off_t hole = lseek(in, data, SEEK_HOLE);
            if (hole < 0) {
                failSource(errno);
                return false;
            }
            if (!copyRange(in, out, data, hole))
                return false;
            pos = hole;
        }
        // The size now: the file may have changed since it was looked at.
        struct stat now;
        const off_t size = fstat(in, &now) == 0 ? now.st_size : st.st_size;
        if (ftruncate(out, size) != 0) {
            failDestination(errno);
            return false;
        }
        return true;
    }
    return copyRange(in, out, 0, -1);
}

bool Ditto::copyRange(int in, int out, off_t from, off_t to)
{
    // `to` < 0: up to the end of the file, however long it has grown.
    off_t inPos = from;
    off_t outPos = from;
    if (m_copyRangeWorks) {
        while (to < 0 || inPos < to) {
            const size_t length = to < 0 ? kCopyChunk : std::min(kCopyChunk, size_t(to - inPos));
            const ssize_t n = copy_file_range(in, &inPos, out, &outPos, length, 0);
            if (n > 0)
                continue;
            if (n == 0)
                return true;
            if (errno == EINTR)
                continue;
            if (errno == ENOSYS || errno == EXDEV || errno == EOPNOTSUPP || errno == EINVAL) {
                // Not across these file systems: plain reads and writes for
                // the rest of the run, from where this left off.
                m_copyRangeWorks = false;
                break;
            }
            const int err = errno;
            isDestinationError(err) ? failDestination(err) : failSource(err);
            return false;
        }
        if (m_copyRangeWorks)
            return true;
    }
    if (m_buffer.empty())
        m_buffer.resize(kBufferSize);
    while (to < 0 || inPos < to) {
        const size_t want = to < 0 ? m_buffer.size() : std::min(m_buffer.size(), size_t(to - inPos));
        const ssize_t n = pread(in, m_buffer.data(), want, inPos);
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            failSource(errno);
            return false;
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = pwrite(out, m_buffer.data() + done, size_t(n - done), outPos);
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                failDestination(errno);
                return false;
            }
            done += w;
            outPos += w;
        }
        inPos += n;
    }
    return true;
}

bool Ditto::attributeValue(int fd, const char *attr, std::vector<char> &value, ssize_t &size)
{
    for (;;) {
        size = fgetxattr(fd, attr, value.data(), value.size());
        if (size >= 0)
            return true;
        if (errno != ERANGE)
            return false;
        const ssize_t needed = fgetxattr(fd, attr, nullptr, 0);
        if (needed < 0)
            return false;
        value.resize(size_t(needed) + 4096);
    }
}

namespace {

// The names of one descriptor's attributes, NUL-separated; 0 where the file
// system keeps none.
ssize_t listAttributes(int fd, std::vector<char> &names)
{
    // The buffer is never empty: a zero size would ask for the length only.
    for (;;) {
        const ssize_t length = flistxattr(fd, names.data(), names.size());
        if (length >= 0)
            return length;
        if (errno == ENOTSUP || errno == EOPNOTSUPP)
            return 0;
        const ssize_t needed = errno == ERANGE ? flistxattr(fd, nullptr, 0) : -1;
        if (needed < 0)
            return -1;
        names.resize(size_t(needed) + 4096);
    }
}

bool listHas(const std::vector<char> &names, ssize_t length, const char *name)
{
    for (ssize_t pos = 0; pos < length;) {
        const char *attr = names.data() + pos;
        if (std::strcmp(attr, name) == 0)
            return true;
        pos += ssize_t(std::strlen(attr)) + 1;
    }
    return false;
}

} // namespace

bool Ditto::copyAttributes(int in, int out, Attributes mode, bool quiet)
{
    // New: `out` holds none yet. Merge: set what differs. Same: also take
    // away the user's attributes the source no longer has. `quiet`: return
    // false at the first failure without a word; the caller copies anew.
    const ssize_t length = listAttributes(in, m_attrNames);
    if (length < 0) {
        if (!quiet)
            failSource(errno);
        return false;
    }
    ssize_t dstLength = 0;
    if (mode != Attributes::New) {
        dstLength = listAttributes(out, m_dstAttrNames);
        if (dstLength < 0) {
            if (!quiet)
                failDestination(errno);
            return false;
        }
    }
    bool ok = true;
    for (ssize_t pos = 0; pos < length;) {
        const char *attr = m_attrNames.data() + pos;
        pos += ssize_t(std::strlen(attr)) + 1;
        ssize_t size;
        if (!attributeValue(in, attr, m_attrValue, size)) {
            if (errno == ENODATA)
                continue; // removed meanwhile
            if (quiet)
                return false;
            fail(m_src, (std::string("cannot read extended attribute ") + printablePath(attr) + ": "
                         + std::strerror(errno)).c_str());
            ok = false;
            continue;
        }
        ssize_t dstSize;
        if (mode != Attributes::New && listHas(m_dstAttrNames, dstLength, attr)
            && attributeValue(out, attr, m_dstAttrValue, dstSize) && dstSize == size
            && std::memcmp(m_dstAttrValue.data(), m_attrValue.data(), size_t(size)) == 0)
            continue; // already there: writing it again would change the file
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
                    std::fprintf(m_errors, "ditto: %s: the destination does not keep extended attributes; "
                                           "they were not copied\n", printablePath(m_dst).c_str());
                    std::fflush(m_errors);
                }
                continue;
            }
            if (quiet)
                return false;
            fail(m_dst, (std::string("cannot keep extended attribute ") + printablePath(attr) + ": "
                         + std::strerror(err)).c_str());
            ok = false;
        }
    }
    if (mode != Attributes::Same)
        return ok;
    for (ssize_t pos = 0; pos < dstLength;) {
        const char *attr = m_dstAttrNames.data() + pos;
        pos += ssize_t(std::strlen(attr)) + 1;
        // Only the user's own: labels the system puts on every new file are
        // what a fresh copy would carry too.
        if (std::strncmp(attr, "user.", 5) != 0 || listHas(m_attrNames, length, attr))
            continue;
        if (fremovexattr(out, attr) != 0 && errno != ENODATA) {
            if (quiet)
                return false;
            failDestination(errno);
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
    const auto reuse = [&](const struct stat &existing) {
        if (!S_ISLNK(existing.st_mode) || existing.st_size != n)
            return false;
        m_dstLinkTarget.resize(size_t(n) + 1);
        if (readlinkat(dstDirFd, name, m_dstLinkTarget.data(), m_dstLinkTarget.size()) != n
            || std::memcmp(m_dstLinkTarget.data(), target, size_t(n)) != 0
            || !linkCountFits(st, existing))
            return false;
        if (existing.st_uid != st.st_uid || existing.st_gid != st.st_gid)
            fchownat(dstDirFd, name, st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW);
        const timespec times[2] = {st.st_atim, st.st_mtim};
        if (!sameTime(existing.st_mtim, st.st_mtim)
            && utimensat(dstDirFd, name, times, AT_SYMLINK_NOFOLLOW) != 0)
            failDestination(errno);
        return true;
    };
    const Placed placed = placeEntry(dstDirFd, name, st, [&](const char *n) {
        return symlinkat(target, dstDirFd, n) == 0 ? 0 : errno;
    }, reuse);
    if (placed == Placed::Failed)
        return;
    if (placed == Placed::New) {
        fchownat(dstDirFd, name, st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW);
        const timespec times[2] = {st.st_atim, st.st_mtim};
        if (utimensat(dstDirFd, name, times, AT_SYMLINK_NOFOLLOW) != 0)
            failDestination(errno);
    }
    if (st.st_nlink > 1)
        rememberCopy(st);
}

void Ditto::copySpecial(const struct stat &st, int dstDirFd, const char *name)
{
    // Pipes, sockets and devices are made anew, never opened: reading a pipe
    // would wait for ever, reading a device would copy whatever it produces.
    const mode_t type = st.st_mode & S_IFMT;
    const auto setMetadata = [&](const struct stat *existing) {
        mode_t mode = st.st_mode & 07777;
        if (!existing || existing->st_uid != st.st_uid || existing->st_gid != st.st_gid) {
            if (fchownat(dstDirFd, name, st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW) != 0)
                mode &= ~mode_t(S_ISUID | S_ISGID);
            existing = nullptr;
        }
        if ((!existing || (existing->st_mode & 07777) != mode)
            && fchmodat(dstDirFd, name, mode, AT_SYMLINK_NOFOLLOW) != 0)
            failDestination(errno);
        const timespec times[2] = {st.st_atim, st.st_mtim};
        if ((!existing || !sameTime(existing->st_mtim, st.st_mtim))
            && utimensat(dstDirFd, name, times, AT_SYMLINK_NOFOLLOW) != 0)
            failDestination(errno);
    };
    const Placed placed = placeEntry(dstDirFd, name, st, [&](const char *n) {
            const int r = S_ISFIFO(st.st_mode) ? mkfifoat(dstDirFd, n, 0600)
                                               : mknodat(dstDirFd, n, type | 0600, st.st_rdev);
            return r == 0 ? 0 : errno;
        }, [&](const struct stat &existing) {
            if ((existing.st_mode & S_IFMT) != type || existing.st_rdev != st.st_rdev
                || !linkCountFits(st, existing))
                return false;
            setMetadata(&existing);
            return true;
        });
    if (placed == Placed::Failed)
        return;
    if (placed == Placed::New)
        setMetadata(nullptr);
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
    placeEntry(dstDirFd, name, st, [&](const char *n) {
        return linkat(m_dstRootFd, first, dstDirFd, n, 0) == 0 ? 0 : errno;
    }, [](const struct stat &) { return false; });
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
