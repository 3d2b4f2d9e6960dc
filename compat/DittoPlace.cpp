// Putting an entry in place: made where nothing stands, else built under a
// temporary name and renamed over; an entry of another type moved aside;
// links, special files and second names of one file.
#include "Ditto.h"
#include "DittoSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace cv::compat {

using namespace detail;

bool Ditto::moveAside(int dstDirFd, const char *name, const struct stat &existing,
                      const struct stat &incoming)
{
    if (keepingVersions()) {
        // The earlier entry, a folder with all it holds, goes whole into
        // the run's versions; the mirror keeps only the new one.
        std::string keptAt;
        if (moveIntoVersions(dstDirFd, name, keptAt)) {
            const std::string line = "ditto: " + printablePath(m_dst) + ": now a " + kindOf(incoming.st_mode)
                + "; the " + kindOf(existing.st_mode) + " that was here was kept in " + printablePath(keptAt)
                + "\n";
            std::fwrite(line.data(), 1, line.size(), m_errors);
            std::fflush(m_errors);
            return true;
        }
        if (keptAt.empty())
            return false; // the version folder could not be made; said so
        if (errno != EEXIST) {
            fail(keptAt, std::strerror(errno));
            return false;
        }
        // Kept there already by this run: aside in the mirror, as without versions.
    }
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
    if (err == 0) {
        recordCreated();
        return Placed::New;
    }
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
    if (keepingVersions() && !keepVersion(dstDirFd, name)) {
        unlinkat(dstDirFd, m_tempName.c_str(), 0);
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
        const bool changes = existing.st_uid != st.st_uid || existing.st_gid != st.st_gid
            || !sameTime(existing.st_mtim, st.st_mtim);
        // Changed in place, a link shared with a version would change it too.
        if (changes && existing.st_nlink > 1 && keepingVersions())
            return false;
        if (changes)
            recordMetadata(existing);
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
            if (existing.st_nlink > 1 && keepingVersions())
                return false; // see copyLink
            if (!sameMetadata(existing, st))
                recordMetadata(existing);
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
    if (linkat(m_dstRootFd, first, dstDirFd, name, 0) == 0) {
        recordCreated();
        return true;
    }
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

} // namespace cv::compat
