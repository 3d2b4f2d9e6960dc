// Earlier versions: before an entry of the mirror is replaced, its old state
// is kept in the run's version folder at the same path relative to the
// destination, by a hard link made before the rename that replaces it, so
// keeping costs no copy and an interrupted run loses nothing. The paths the
// run newly creates are recorded there too, so that a view of an earlier
// point can leave them out. Nothing is made until something is kept or
// created.
#include "Ditto.h"
#include "DittoSupport.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cstring>

namespace cv::compat {

using namespace detail;

namespace {

constexpr char kCreatedRecord[] = ".corvantis-created";

} // namespace

bool isVersionsFolderName(const char *name)
{
    return std::strcmp(name, kVersionsFolderName) == 0;
}

std::string Ditto::relativePath() const
{
    return m_dst.size() > m_dstRootLength ? m_dst.substr(m_dstRootLength + 1) : std::string();
}

int Ditto::versionFolder()
{
    if (m_versionsFd >= 0)
        return m_versionsFd;
    if (m_versionsUnusable)
        return -1; // said once; every entry it would have kept stays as it is
    // Its folders are private: the mail in them is the user's alone.
    const std::string &path = m_options.versionsFolder;
    for (size_t i = 1; i <= path.size(); ++i) {
        if ((i < path.size() && path[i] != '/') || path[i - 1] == '/')
            continue;
        const std::string prefix = path.substr(0, i);
        if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
            fail(prefix, std::strerror(errno));
            m_versionsUnusable = true;
            return -1;
        }
    }
    m_versionsFd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_versionsFd < 0) {
        fail(path, std::strerror(errno));
        m_versionsUnusable = true;
    }
    return m_versionsFd;
}

bool Ditto::makeVersionParents(const std::string &relative)
{
    const size_t slash = relative.rfind('/');
    if (slash == std::string::npos)
        return true;
    // Each folder is made once a run, however many entries it takes.
    const std::string parent = relative.substr(0, slash);
    if (m_versionParents.count(parent))
        return true;
    for (size_t i = 1; i <= parent.size(); ++i) {
        if (i < parent.size() && parent[i] != '/')
            continue;
        std::string prefix = parent.substr(0, i);
        if (m_versionParents.count(prefix))
            continue;
        if (mkdirat(m_versionsFd, prefix.c_str(), 0700) != 0 && errno != EEXIST) {
            fail(m_options.versionsFolder + "/" + prefix, std::strerror(errno));
            return false;
        }
        m_versionParents.insert(std::move(prefix));
    }
    return true;
}

bool Ditto::keepVersion(int dstDirFd, const char *name)
{
    const std::string relative = relativePath();
    if (versionFolder() < 0 || !makeVersionParents(relative))
        return false;
    if (linkat(dstDirFd, name, m_versionsFd, relative.c_str(), 0) == 0)
        return true;
    const int err = errno;
    if (err == EEXIST)
        return true; // kept already by this run
    struct stat existing;
    if (fstatat(dstDirFd, name, &existing, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT; // nothing there to keep any more
    // Too many links, or links refused here: a copy of its own instead.
    if (copyVersion(dstDirFd, name, existing, relative))
        return true;
    fail(m_options.versionsFolder + "/" + relative, std::strerror(err));
    return false;
}

bool Ditto::copyVersion(int dstDirFd, const char *name, const struct stat &existing,
                        const std::string &relative)
{
    const char *to = relative.c_str();
    if (S_ISLNK(existing.st_mode)) {
        char target[PATH_MAX + 1];
        const ssize_t n = readlinkat(dstDirFd, name, target, PATH_MAX);
        if (n < 0)
            return false;
        target[n] = 0;
        return symlinkat(target, m_versionsFd, to) == 0;
    }
    if (!S_ISREG(existing.st_mode)) {
        const mode_t type = existing.st_mode & S_IFMT;
        return mknodat(m_versionsFd, to, type | (existing.st_mode & 0777), existing.st_rdev) == 0;
    }
    const int in = openat(dstDirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (in < 0)
        return false;
    const int out = openat(m_versionsFd, to, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool ok = out >= 0 && copyData(in, out, existing);
    if (ok) {
        const timespec times[2] = {existing.st_atim, existing.st_mtim};
        ok = fchmod(out, existing.st_mode & 07777) == 0 && futimens(out, times) == 0;
    }
    if (out >= 0 && close(out) != 0)
        ok = false;
    close(in);
    if (!ok && out >= 0)
        unlinkat(m_versionsFd, to, 0);
    return ok;
}

bool Ditto::moveIntoVersions(int dstDirFd, const char *name, std::string &keptAt)
{
    const std::string relative = relativePath();
    keptAt.clear();
    if (versionFolder() < 0 || !makeVersionParents(relative))
        return false;
    keptAt = m_options.versionsFolder + "/" + relative;
    if (renameat2(dstDirFd, name, m_versionsFd, relative.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno == EINVAL) {
        // A file system without the no-replace rename: look, then rename.
        struct stat taken;
        if (fstatat(m_versionsFd, relative.c_str(), &taken, AT_SYMLINK_NOFOLLOW) == 0)
            errno = EEXIST;
        else if (renameat(dstDirFd, name, m_versionsFd, relative.c_str()) == 0)
            return true;
    }
    return false;
}

void Ditto::recordCreated()
{
    if (!keepingVersions() || m_inNewFolder)
        return;
    if (m_createdFd < 0) {
        if (versionFolder() < 0)
            return;
        // Appended entry by entry: what an interrupted run wrote stays valid.
        m_createdFd = openat(m_versionsFd, kCreatedRecord, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (m_createdFd < 0) {
            fail(m_options.versionsFolder + "/" + kCreatedRecord, std::strerror(errno));
            return;
        }
    }
    std::string entry = relativePath();
    entry.push_back('\0');
    errno = 0;
    if (write(m_createdFd, entry.data(), entry.size()) != ssize_t(entry.size()))
        fail(m_options.versionsFolder + "/" + kCreatedRecord, std::strerror(errno ? errno : EIO));
}

void Ditto::closeVersions()
{
    if (m_createdFd >= 0)
        close(m_createdFd);
    if (m_versionsFd >= 0)
        close(m_versionsFd);
    m_createdFd = m_versionsFd = -1;
}

} // namespace cv::compat
