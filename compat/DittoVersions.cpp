// Earlier versions: before an entry of the mirror is replaced, its old state
// is kept in the run's version folder at the same path relative to the
// destination, by a hard link made before the rename that replaces it, so
// keeping costs no copy and an interrupted run loses nothing. The paths the
// run newly creates are recorded there too, so that a view of an earlier
// point can leave them out. Nothing is made until something is kept or
// created.
#include "DittoParts.h"

#include "BackupFormat.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace cv::compat::detail {

bool isVersionsFolderName(const char *name)
{
    return std::strcmp(name, cv::format::kVersionsFolder) == 0;
}

Versions::Versions(std::string folder, Report &report, DataCopy &data, TempNames &names)
    : m_folder(std::move(folder))
    , m_report(report)
    , m_data(data)
    , m_names(names)
{
}

int Versions::folder()
{
    if (m_fd || m_unusable)
        return m_fd.get(); // an unusable one was said once; what it would have kept stays as it is
    // Made by the engine, for this run alone: one that is missing is never
    // made here, or two runs could end up sharing one.
    m_fd.reset(open(m_folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!m_fd) {
        m_report.fail(m_folder, std::strerror(errno));
        m_unusable = true;
    }
    return m_fd.get();
}

bool Versions::makeParents(const std::string &relative)
{
    const size_t slash = relative.rfind('/');
    if (slash == std::string::npos)
        return true;
    // Each folder is made once a run, however many entries it takes.
    const std::string parent = relative.substr(0, slash);
    if (m_parents.count(parent))
        return true;
    for (size_t i = 1; i <= parent.size(); ++i) {
        if (i < parent.size() && parent[i] != '/')
            continue;
        std::string prefix = parent.substr(0, i);
        if (m_parents.count(prefix))
            continue;
        if (mkdirat(m_fd.get(), prefix.c_str(), 0700) != 0 && errno != EEXIST) {
            m_report.fail(m_folder + "/" + prefix, std::strerror(errno));
            return false;
        }
        m_parents.insert(std::move(prefix));
    }
    return true;
}

bool Versions::keep(int dirFd, const char *name)
{
    const std::string relative = m_report.relativePath();
    if (folder() < 0 || !makeParents(relative))
        return false;
    if (linkat(dirFd, name, m_fd.get(), relative.c_str(), 0) == 0)
        return true;
    const int err = errno;
    struct stat existing;
    if (fstatat(dirFd, name, &existing, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT; // nothing there to keep any more
    if (err == EEXIST) {
        // Only the very entry, kept by an earlier pass of this run (a copy
        // tried again after space was freed), counts as kept.
        struct stat kept;
        if (fstatat(m_fd.get(), relative.c_str(), &kept, AT_SYMLINK_NOFOLLOW) == 0 && keyOf(kept) == keyOf(existing))
            return true;
    } else if (copyIn(dirFd, name, existing, relative)) {
        // Too many links, or links refused here: a copy of its own instead.
        return true;
    }
    m_report.fail(m_folder + "/" + relative, std::strerror(err));
    return false;
}

bool Versions::copyIn(int dirFd, const char *name, const struct stat &existing, const std::string &relative)
{
    const char *to = relative.c_str();
    if (S_ISLNK(existing.st_mode)) {
        char target[PATH_MAX + 1];
        const ssize_t n = readlinkat(dirFd, name, target, PATH_MAX);
        if (n < 0)
            return false;
        target[n] = 0;
        return symlinkat(target, m_fd.get(), to) == 0;
    }
    if (!S_ISREG(existing.st_mode)) {
        const mode_t type = existing.st_mode & S_IFMT;
        return mknodat(m_fd.get(), to, type | (existing.st_mode & 0777), existing.st_rdev) == 0;
    }
    return copyFileIn(dirFd, name, existing, relative);
}

bool Versions::copyFileIn(int dirFd, const char *name, const struct stat &existing, const std::string &relative)
{
    const UniqueFd in(openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!in)
        return false;
    // Under a temporary name beside its final one until it is whole: a copy
    // cut short must never pass for the version.
    const size_t slash = relative.rfind('/');
    TemporaryEntry temp(m_names, m_report, m_fd.get(),
                        slash == std::string::npos ? std::string() : relative.substr(0, slash + 1));
    auto out = temp.createFile();
    if (!out)
        return false;
    if (auto copied = m_data.copy(in.get(), out->get(), existing); !copied) {
        m_report.say(copied.reason());
        return false;
    }
    const timespec times[2] = {existing.st_atim, existing.st_mtim};
    if (fchmod(out->get(), existing.st_mode & 07777) != 0 || futimens(out->get(), times) != 0
        || out->close() != 0)
        return false;
    return temp.placeNew(relative.c_str()).ok();
}

Versions::Move Versions::moveIn(int dirFd, const char *name)
{
    const std::string relative = m_report.relativePath();
    Move move;
    if (folder() < 0 || !makeParents(relative))
        return move;
    move.usable = true;
    move.keptAt = m_folder + "/" + relative;
    if (!renameNoReplace(dirFd, name, m_fd.get(), relative.c_str()))
        move.err = errno;
    return move;
}

bool Versions::enterFolder(bool created)
{
    const bool outer = m_inNewFolder;
    m_inNewFolder = outer || created;
    return outer;
}

void Versions::append(UniqueFd &record, const char *recordName, const std::string &entry)
{
    if (!record) {
        if (folder() < 0)
            return;
        // Appended entry by entry: what an interrupted run wrote stays valid.
        record.reset(openat(m_fd.get(), recordName, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!record)
            return m_report.fail(m_folder + "/" + recordName, std::strerror(errno));
    }
    // One write per record: a record cut short is the only damage possible.
    errno = 0;
    if (write(record.get(), entry.data(), entry.size()) != ssize_t(entry.size()))
        m_report.fail(m_folder + "/" + recordName, std::strerror(errno ? errno : EIO));
}

void Versions::recordCreated()
{
    if (!enabled() || m_inNewFolder)
        return;
    std::string entry = m_report.relativePath();
    entry.push_back('\0');
    append(m_created, cv::format::kCreatedRecord, entry);
}

void Versions::recordMetadata(const struct stat &before)
{
    if (!enabled() || m_inNewFolder || m_report.dst.size() <= m_report.dstRootLength)
        return;
    char fields[128];
    const int n = std::snprintf(fields, sizeof fields, "%o %u %u %lld.%09ld %lld.%09ld ",
                                unsigned(before.st_mode & 07777), unsigned(before.st_uid),
                                unsigned(before.st_gid), static_cast<long long>(before.st_atim.tv_sec),
                                before.st_atim.tv_nsec, static_cast<long long>(before.st_mtim.tv_sec),
                                before.st_mtim.tv_nsec);
    std::string entry(fields, size_t(n));
    entry += m_report.relativePath();
    entry.push_back('\0');
    append(m_metadata, cv::format::kMetadataRecord, entry);
}

} // namespace cv::compat::detail
