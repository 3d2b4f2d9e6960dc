// Walking the tree: the operands, each folder read in full, each entry
// handed to the placing of its kind, folders finished after their contents.
#include "DittoParts.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace cv::compat::detail {

namespace {

constexpr size_t kFolderBufferSize = 64 * 1024;

void raiseFileLimit()
{
    // Two descriptors stay open per folder level; deep trees need more than
    // the usual soft limit of 1024. Where it cannot be raised, a folder too
    // deep fails to open and says so.
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

Walk::Walk(const DittoOptions &options, Report &report, Placing &placing, Versions &versions,
           Attributes &attributes)
    : m_options(options)
    , m_report(report)
    , m_placing(placing)
    , m_versions(versions)
    , m_attributes(attributes)
{
}

bool Walk::copy(const std::string &source, const std::string &destination)
{
    raiseFileLimit();
    // The operands themselves are followed when they are links: they are
    // what the caller named. Links inside the tree are never followed.
    struct stat st;
    if (stat(source.c_str(), &st) != 0) {
        m_report.fail(source, std::strerror(errno));
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        copyOtherOperand(source, st, destination);
        return m_report.failures() == 0;
    }
    const UniqueFd srcFd(open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!srcFd || fstat(srcFd.get(), &st) != 0) {
        m_report.fail(source, std::strerror(errno));
        return false;
    }
    m_report.src = withoutTrailingSlashes(source);
    m_report.dst = withoutTrailingSlashes(destination);
    m_report.dstRootLength = m_report.dst.size();
    copyFolderOperand(srcFd.get(), st, destination);
    return m_report.failures() == 0;
}

UniqueFd Walk::makeFolders(const std::string &path)
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
            m_report.fail(prefix, std::strerror(errno));
            return {};
        }
    }
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) {
        m_report.fail(path, std::strerror(errno));
        return {};
    }
    // A folder left without owner access (say by an earlier copy of a
    // read-only folder) must still take new entries; the final mode is set
    // after the contents, or the folder's own mode given back.
    struct stat st;
    if (fstat(fd.get(), &st) == 0 && (st.st_mode & 0700) != 0700
        && faccessat(AT_FDCWD, path.c_str(), W_OK | X_OK, AT_EACCESS) != 0
        && fchmod(fd.get(), (st.st_mode & 07777) | 0700) == 0)
        m_operandFolderMode = st.st_mode & 07777;
    return fd;
}

void Walk::leaveOperandFolderAsItWas(int fd)
{
    // The folder the user chose keeps its owner and mode (a shared folder
    // of a group, say): only what is inside it mirrors the source.
    if (m_operandFolderMode && fchmod(fd, *m_operandFolderMode) != 0)
        m_report.fail(m_report.dst.substr(0, m_report.dstRootLength), std::strerror(errno));
    m_operandFolderMode.reset();
}

void Walk::copyFolderOperand(int srcFd, const struct stat &st, const std::string &destination)
{
    const UniqueFd dstFd = makeFolders(destination);
    if (!dstFd)
        return;
    struct stat dst;
    if (fstat(dstFd.get(), &dst) != 0) {
        m_report.fail(destination, std::strerror(errno));
        return;
    }
    if (dst.st_dev == st.st_dev && dst.st_ino == st.st_ino) {
        m_report.fail(destination, "source and destination are the same folder");
        return;
    }
    m_placing.setRoot(dstFd.get());
    // The destination may lie inside the source: the walk skips it, so the
    // copy never descends into what it is writing.
    m_dstRoot = keyOf(dst);
    m_ancestors.assign(1, keyOf(st));
    copyFolderContents(srcFd, dstFd.get(), 0, false);
    if (m_operandFolderMade)
        finishFolder(srcFd, dstFd.get(), st, false);
    else
        leaveOperandFolderAsItWas(dstFd.get());
    m_placing.setRoot(-1);
}

void Walk::copyOtherOperand(const std::string &source, const struct stat &operand,
                            const std::string &destination)
{
    struct stat dst;
    const bool intoFolder = (stat(destination.c_str(), &dst) == 0 && S_ISDIR(dst.st_mode))
        || destination.back() == '/';
    const std::string folder = intoFolder ? destination : parentOf(destination);
    const std::string name = lastComponent(intoFolder ? source : destination);
    if (name.empty() || name == "." || name == "..") {
        m_report.fail(destination, std::strerror(EINVAL));
        return;
    }
    const UniqueFd dirFd = makeFolders(folder);
    if (!dirFd)
        return;
    m_report.src = source;
    m_report.dst = withoutTrailingSlashes(folder);
    m_report.dstRootLength = m_report.dst.size();
    m_report.dst += "/" + name;

    if (S_ISREG(operand.st_mode)) {
        UniqueFd in(open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        struct stat st;
        if (!in || fstat(in.get(), &st) != 0)
            m_report.failSource(errno);
        else if (!S_ISREG(st.st_mode))
            m_placing.copySpecial(st, dirFd.get(), name.c_str());
        else
            m_placing.copyRegular(AT_FDCWD, source.c_str(), in, st, dirFd.get(), name.c_str(), false);
    } else {
        m_placing.copySpecial(operand, dirFd.get(), name.c_str());
    }
    leaveOperandFolderAsItWas(dirFd.get());
}

bool Walk::readFolder(int srcDirFd, Level &level)
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
            m_report.failSource(errno);
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

void Walk::copyFolderContents(int srcDirFd, int dstDirFd, unsigned depth, bool fresh)
{
    while (m_levels.size() <= depth)
        m_levels.emplace_back();
    // Read in full first: the folder's buffer is given back before going
    // deeper, and entries created meanwhile are never walked.
    Level &level = m_levels[depth];
    if (!readFolder(srcDirFd, level))
        return;
    if (!fresh)
        m_sweep.sweep(dstDirFd, m_report);
    for (const Entry &entry : level.entries) {
        const char *name = level.names.data() + entry.nameOffset;
        if (depth == 0 && m_versions.enabled() && isVersionsFolderName(name)) {
            // Copying into it would mix the source's entry with the
            // destination's own history.
            m_report.note(m_report.src + "/" + name,
                          "not copied; the destination keeps its earlier versions under this name");
            continue;
        }
        copyEntry(srcDirFd, dstDirFd, name, entry.type, depth, fresh);
    }
}

PlainResult<SourceEntry> Walk::lookAt(int srcDirFd, const char *name, unsigned char type, bool fresh)
{
    SourceEntry entry;
    // A file that may already be in the destination is looked at first and
    // opened only when it is to be read (see Placing::copyRegular).
    if ((type == DT_REG && fresh) || type == DT_DIR) {
        // O_NONBLOCK: should the entry have become a pipe meanwhile, the open
        // must not wait for a writer.
        const int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY
            | (type == DT_DIR ? O_DIRECTORY : O_NONBLOCK);
        entry.fd.reset(openat(srcDirFd, name, flags));
        if (entry.fd) {
            if (fstat(entry.fd.get(), &entry.st) != 0)
                return cv::fail(Report::at(m_report.src, errno));
            return entry;
        }
        if (errno != ELOOP && errno != ENOTDIR)
            return cv::fail(Report::at(m_report.src, errno));
    }
    if (fstatat(srcDirFd, name, &entry.st, AT_SYMLINK_NOFOLLOW) != 0)
        return cv::fail(Report::at(m_report.src, errno));
    return entry;
}

void Walk::copyEntry(int srcDirFd, int dstDirFd, const char *name, unsigned char type, unsigned depth,
                     bool fresh)
{
    const EntryPaths entering(m_report, name);
    auto looked = lookAt(srcDirFd, name, type, fresh);
    if (!looked) {
        m_report.say(looked.reason());
        return;
    }
    SourceEntry &entry = *looked;
    const struct stat &st = entry.st;
    if (S_ISDIR(st.st_mode)) {
        copyFolderEntry(srcDirFd, name, entry, dstDirFd, depth);
        return;
    }
    if (!S_ISREG(st.st_mode))
        entry.fd.reset();
    if (st.st_nlink > 1 && m_placing.linkToEarlierCopy(st, dstDirFd, name))
        return;
    if (S_ISREG(st.st_mode))
        m_placing.copyRegular(srcDirFd, name, entry.fd, st, dstDirFd, name, fresh);
    else if (S_ISLNK(st.st_mode))
        m_placing.copyLink(srcDirFd, name, st, dstDirFd, name);
    else
        m_placing.copySpecial(st, dstDirFd, name);
}

void Walk::copyFolderEntry(int srcDirFd, const char *name, SourceEntry &entry, int dstDirFd, unsigned depth)
{
    if (keyOf(entry.st) == m_dstRoot)
        return;
    // A folder that is its own ancestor (a bind mount) would never end.
    if (std::find(m_ancestors.begin(), m_ancestors.end(), keyOf(entry.st)) != m_ancestors.end()) {
        m_report.fail(m_report.src, "folder contains itself; not copied again");
        return;
    }
    if (!entry.fd) {
        entry.fd.reset(openat(srcDirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!entry.fd || fstat(entry.fd.get(), &entry.st) != 0 || !S_ISDIR(entry.st.st_mode)) {
            m_report.failSource(!entry.fd ? errno : ENOTDIR);
            return;
        }
    }
    copyFolder(entry.fd.get(), entry.st, dstDirFd, name, depth);
}

void Walk::copyFolder(int srcFd, const struct stat &st, int dstDirFd, const char *name, unsigned depth)
{
    // Made where nothing stood: recorded alone, its contents come with it.
    // A folder that took the place of another entry is not new; what goes
    // into it is.
    const bool created = mkdirat(dstDirFd, name, 0700) == 0;
    bool fresh = created;
    if (created) {
        m_versions.recordCreated();
    } else if (errno != EEXIST) {
        m_report.failDestination(errno);
        return;
    } else {
        const Room room = makeRoomForFolder(dstDirFd, name, st);
        if (room == Room::Failed)
            return;
        fresh = room == Room::Made;
    }
    const UniqueFd dstFd(openat(dstDirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dstFd) {
        m_report.failDestination(errno);
        return;
    }
    m_ancestors.push_back(keyOf(st));
    const bool outerIsNew = m_versions.enterFolder(created);
    copyFolderContents(srcFd, dstFd.get(), depth + 1, fresh);
    m_versions.leaveFolder(outerIsNew);
    m_ancestors.pop_back();
    finishFolder(srcFd, dstFd.get(), st, fresh);
}

Walk::Room Walk::makeRoomForFolder(int dstDirFd, const char *name, const struct stat &st)
{
    struct stat existing;
    if (fstatat(dstDirFd, name, &existing, AT_SYMLINK_NOFOLLOW) != 0) {
        m_report.failDestination(errno);
        return Room::Failed;
    }
    if (S_ISLNK(existing.st_mode)) {
        // A link where the folder belongs is replaced, never followed:
        // following it would write outside the destination.
        if (m_versions.enabled() && !m_versions.keep(dstDirFd, name))
            return Room::Failed;
        if (unlinkat(dstDirFd, name, 0) != 0 || mkdirat(dstDirFd, name, 0700) != 0) {
            m_report.failDestination(errno);
            return Room::Failed;
        }
        return Room::Made;
    }
    if (!S_ISDIR(existing.st_mode)) {
        // The source entry was a file at the last copy. Its copy may be
        // all the user has of it: kept aside, never deleted.
        if (!m_placing.moveAside(dstDirFd, name, existing, st))
            return Room::Failed;
        if (mkdirat(dstDirFd, name, 0700) != 0) {
            m_report.failDestination(errno);
            return Room::Failed;
        }
        return Room::Made;
    }
    // Its contents or its own metadata change: earlier points show the
    // folder as it was. Said first, an end midway loses nothing.
    if (!sameMetadata(existing, st))
        m_versions.recordMetadata(existing);
    // Only when needed: a repeat that finds nothing to do changes nothing.
    // Should it fail, each entry written into it says so.
    if ((existing.st_mode & 0700) != 0700 && faccessat(dstDirFd, name, W_OK | X_OK, AT_EACCESS) != 0)
        fchmodat(dstDirFd, name, (existing.st_mode & 07777) | 0700, 0);
    return Room::Existing;
}

void Walk::finishFolder(int srcFd, int dstFd, const struct stat &st, bool fresh)
{
    // A folder is merged, never replaced: attributes are added or updated,
    // none are taken away, as a copy onto an existing folder has always done.
    // What fails is said there.
    if (m_options.keepExtendedAttributes)
        m_attributes.copy(srcFd, dstFd, fresh ? AttributeMode::New : AttributeMode::Merge);
    struct stat existing;
    const bool known = !fresh && fstat(dstFd, &existing) == 0;
    if (!setOwnerAndMode(dstFd, st, known ? &existing : nullptr))
        m_report.failDestination(errno);
    // Last, after the contents: every entry written changed the time. A
    // folder whose time already matches had nothing written into it.
    if (known && sameTime(existing.st_mtim, st.st_mtim))
        return;
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if (futimens(dstFd, times) != 0)
        m_report.failDestination(errno);
}

} // namespace cv::compat::detail
