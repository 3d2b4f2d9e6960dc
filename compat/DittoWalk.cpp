// Walking the tree: the operands, each folder read in full, each entry
// handed to the copy of its kind, folders finished after their contents.
#include "Ditto.h"
#include "DittoSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace cv::compat {

using namespace detail;

namespace {

constexpr size_t kFolderBufferSize = 64 * 1024;

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

} // namespace

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
    m_operandFolderMade = false;
    m_operandFolderMode.reset();
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/')
            continue;
        if (path[i - 1] == '/')
            continue;
        const std::string prefix = path.substr(0, i);
        if (mkdir(prefix.c_str(), 0777) == 0) {
            m_operandFolderMade = i >= path.size() || path.find_first_not_of('/', i) == std::string::npos;
        } else if (errno != EEXIST) {
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
    // after the contents, or the folder's own mode given back.
    struct stat st;
    if (fstat(fd, &st) == 0 && (st.st_mode & 0700) != 0700
        && faccessat(AT_FDCWD, path.c_str(), W_OK | X_OK, AT_EACCESS) != 0
        && fchmod(fd, (st.st_mode & 07777) | 0700) == 0)
        m_operandFolderMode = st.st_mode & 07777;
    return fd;
}

void Ditto::leaveOperandFolderAsItWas(int fd)
{
    // The folder the user chose keeps its owner and mode (a shared folder
    // of a group, say): only what is inside it mirrors the source.
    if (m_operandFolderMode && fchmod(fd, *m_operandFolderMode) != 0)
        fail(m_dst.substr(0, m_dstRootLength), std::strerror(errno));
    m_operandFolderMode.reset();
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
    if (m_operandFolderMade)
        finishFolder(srcFd, dstFd, st, false);
    else
        leaveOperandFolderAsItWas(dstFd);
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
    m_dst = withoutTrailingSlashes(folder);
    m_dstRootLength = m_dst.size();
    m_dst += "/" + name;

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
    leaveOperandFolderAsItWas(dirFd);
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
    if (!fresh)
        removeLeftovers(dstDirFd);
    for (const Entry &entry : level.entries) {
        const char *name = level.names.data() + entry.nameOffset;
        if (depth == 0 && keepingVersions() && isVersionsFolderName(name)) {
            // Copying into it would mix the source's entry with the
            // destination's own history.
            const std::string line = "ditto: " + printablePath(m_src + "/" + name)
                + ": not copied; the destination keeps its earlier versions under this name\n";
            std::fwrite(line.data(), 1, line.size(), m_errors);
            std::fflush(m_errors);
            continue;
        }
        copyEntry(srcDirFd, dstDirFd, name, entry.type, depth, fresh);
    }
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
    // Made where nothing stood: recorded alone, its contents come with it.
    // A folder that took the place of another entry is not new; what goes
    // into it is.
    const bool created = fresh;
    if (created)
        recordCreated();
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
            if (keepingVersions() && !keepVersion(dstDirFd, name))
                return;
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
        } else if (!sameMetadata(existing, st)) {
            // Its contents or its own metadata change: earlier points show
            // the folder as it was. Said first, an end midway loses nothing.
            recordMetadata(existing);
        }
        if (!fresh && (existing.st_mode & 0700) != 0700
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
    const bool outerIsNew = m_inNewFolder;
    m_inNewFolder = outerIsNew || created;
    copyFolderContents(srcFd, dstFd, depth + 1, fresh);
    m_inNewFolder = outerIsNew;
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

} // namespace cv::compat
