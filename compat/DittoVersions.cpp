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

#include <cstdio>
#include <cstring>

namespace cv::compat {

using namespace detail;

namespace {

constexpr char kCreatedRecord[] = ".corvantis-created";
constexpr char kMetadataRecord[] = ".corvantis-meta";

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
    // Made by the engine, for this run alone: one that is missing is never
    // made here, or two runs could end up sharing one.
    const std::string &path = m_options.versionsFolder;
    m_versionsFd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
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
    struct stat existing;
    if (fstatat(dstDirFd, name, &existing, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT; // nothing there to keep any more
    if (err == EEXIST) {
        // Only the very entry, kept by an earlier pass of this run (a copy
        // tried again after space was freed), counts as kept.
        struct stat kept;
        if (fstatat(m_versionsFd, relative.c_str(), &kept, AT_SYMLINK_NOFOLLOW) == 0
            && kept.st_dev == existing.st_dev && kept.st_ino == existing.st_ino)
            return true;
        fail(m_options.versionsFolder + "/" + relative, std::strerror(err));
        return false;
    }
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
    // Under a temporary name beside its final one until it is whole: a copy
    // cut short must never pass for the version.
    const size_t slash = relative.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : relative.substr(0, slash + 1);
    int out = -1;
    std::string temp, tempName; // not m_tempName: the caller's new file is under that
    for (int attempt = 0; attempt < 100 && out < 0; ++attempt) {
        nextTempName(tempName);
        temp = folder + tempName;
        out = openat(m_versionsFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (out < 0 && errno != EEXIST)
            break;
    }
    if (out < 0) {
        close(in);
        return false;
    }
    markUnfinished(m_versionsFd, temp.c_str());
    bool ok = copyData(in, out, existing);
    if (ok) {
        const timespec times[2] = {existing.st_atim, existing.st_mtim};
        ok = fchmod(out, existing.st_mode & 07777) == 0 && futimens(out, times) == 0;
    }
    if (close(out) != 0)
        ok = false;
    close(in);
    if (ok)
        ok = renameNoReplace(m_versionsFd, temp.c_str(), m_versionsFd, to);
    if (!ok)
        unlinkat(m_versionsFd, temp.c_str(), 0);
    markFinished();
    return ok;
}

bool Ditto::moveIntoVersions(int dstDirFd, const char *name, std::string &keptAt)
{
    const std::string relative = relativePath();
    keptAt.clear();
    if (versionFolder() < 0 || !makeVersionParents(relative))
        return false;
    keptAt = m_options.versionsFolder + "/" + relative;
    return renameNoReplace(dstDirFd, name, m_versionsFd, relative.c_str());
}

int Ditto::openRecord(int &fd, const char *name)
{
    if (fd >= 0 || versionFolder() < 0)
        return fd;
    // Appended entry by entry: what an interrupted run wrote stays valid.
    fd = openat(m_versionsFd, name, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        fail(m_options.versionsFolder + "/" + name, std::strerror(errno));
    return fd;
}

void Ditto::recordCreated()
{
    if (!keepingVersions() || m_inNewFolder || openRecord(m_createdFd, kCreatedRecord) < 0)
        return;
    std::string entry = relativePath();
    entry.push_back('\0');
    errno = 0;
    if (write(m_createdFd, entry.data(), entry.size()) != ssize_t(entry.size()))
        fail(m_options.versionsFolder + "/" + kCreatedRecord, std::strerror(errno ? errno : EIO));
}

void Ditto::recordMetadata(const struct stat &before)
{
    if (!keepingVersions() || m_inNewFolder || m_dst.size() <= m_dstRootLength
        || openRecord(m_metaFd, kMetadataRecord) < 0)
        return;
    // One write per record: a record cut short is the only damage possible.
    char fields[128];
    const int n = std::snprintf(fields, sizeof fields, "%o %u %u %lld.%09ld %lld.%09ld ",
                                unsigned(before.st_mode & 07777), unsigned(before.st_uid),
                                unsigned(before.st_gid), static_cast<long long>(before.st_atim.tv_sec),
                                before.st_atim.tv_nsec, static_cast<long long>(before.st_mtim.tv_sec),
                                before.st_mtim.tv_nsec);
    std::string entry(fields, size_t(n));
    entry += relativePath();
    entry.push_back('\0');
    errno = 0;
    if (write(m_metaFd, entry.data(), entry.size()) != ssize_t(entry.size()))
        fail(m_options.versionsFolder + "/" + kMetadataRecord, std::strerror(errno ? errno : EIO));
}

void Ditto::closeVersions()
{
    for (int *fd : {&m_createdFd, &m_metaFd, &m_versionsFd}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

} // namespace cv::compat
