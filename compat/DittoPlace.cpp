// Putting an entry in place: made where nothing stands, else built under a
// temporary name and renamed over; an entry of another type moved aside;
// links, special files and second names of one file.
#include "DittoParts.h"

#include "BackupFormat.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace cv::compat::detail {

std::string TempNames::next()
{
    return cv::format::kTempPrefix + std::to_string(getpid()) + "-" + std::to_string(++m_counter);
}

TemporaryEntry::TemporaryEntry(TempNames &names, const Report &report, int dirFd, std::string folder)
    : m_names(names)
    , m_report(report)
    , m_dirFd(dirFd)
    , m_folder(std::move(folder))
{
}

TemporaryEntry::~TemporaryEntry()
{
    // Gone meanwhile is fine; anything else left is swept by a later run.
    if (m_made)
        unlinkat(m_dirFd, m_path.c_str(), 0);
    if (m_guarded)
        markFinished();
}

PlainResult<> TemporaryEntry::make(const std::function<int(const char *)> &make)
{
    int err = EEXIST;
    for (int attempt = 0; attempt < 100 && err == EEXIST; ++attempt) {
        m_path = m_folder + m_names.next();
        err = make(m_path.c_str());
    }
    if (err != 0)
        return failure(err);
    m_made = true;
    return {};
}

PlainResult<> TemporaryEntry::failure(int err) const
{
    return cv::fail(Report::at(m_report.dst, err));
}

PlainResult<UniqueFd> TemporaryEntry::createFile()
{
    constexpr int kCreate = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    UniqueFd out;
    const PlainResult<> made = make([&](const char *name) {
        out.reset(openat(m_dirFd, name, kCreate, 0600));
        return out ? 0 : errno;
    });
    if (!made)
        return cv::fail(made.reason());
    markUnfinished(m_dirFd, m_path.c_str());
    m_guarded = true;
    return out;
}

PlainResult<> TemporaryEntry::replace(const char *name, Versions &versions)
{
    // The entry replaced is kept first, so that an end at any point loses
    // nothing of it.
    if (versions.enabled() && !versions.keep(m_dirFd, name))
        return cv::fail(std::string()); // said by keep
    if (m_guarded)
        markUnfinished(m_dirFd, m_path.c_str()); // a fallback copy of the version held the mark meanwhile
    if (renameat(m_dirFd, m_path.c_str(), m_dirFd, name) != 0)
        return failure(errno);
    m_made = false;
    return {};
}

PlainResult<> TemporaryEntry::placeNew(const char *name)
{
    if (!renameNoReplace(m_dirFd, m_path.c_str(), m_dirFd, name))
        return failure(errno);
    m_made = false;
    return {};
}

Placing::Placing(const DittoOptions &options, Report &report, Versions &versions, DataCopy &data,
                 Attributes &attributes, TempNames &names, const std::function<timespec()> &clock)
    : m_options(options)
    , m_report(report)
    , m_versions(versions)
    , m_data(data)
    , m_attributes(attributes)
    , m_names(names)
    , m_clock(clock)
{
}

bool Placing::moveAside(int dstDirFd, const char *name, const struct stat &existing,
                        const struct stat &incoming)
{
    const std::string now = std::string("now a ") + kindOf(incoming.st_mode) + "; the "
        + kindOf(existing.st_mode) + " that was here was ";
    if (m_versions.enabled()) {
        // The earlier entry, a folder with all it holds, goes whole into
        // the run's versions; the mirror keeps only the new one.
        const Versions::Move moved = m_versions.moveIn(dstDirFd, name);
        if (!moved.usable)
            return false; // the version folder could not be made; said so
        if (moved.err == 0) {
            m_report.note(m_report.dst, now + "kept in " + printablePath(moved.keptAt));
            return true;
        }
        if (moved.err != EEXIST) {
            m_report.fail(moved.keptAt, std::strerror(moved.err));
            return false;
        }
        // Kept there already by this run: aside in the mirror, as without versions.
    }
    const std::optional<std::string> aside = renameAside(dstDirFd, name);
    if (!aside)
        return false;
    // Not a failure: the backup goes on and succeeds.
    m_report.note(m_report.dst, now + "moved to " + printablePath(*aside));
    return true;
}

std::optional<std::string> Placing::renameAside(int dstDirFd, const char *name)
{
    const time_t now = m_clock().tv_sec;
    tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string base = std::string(name) + ".replaced-" + stamp;
    std::string aside = base;
    for (int n = 2; !renameNoReplace(dstDirFd, name, dstDirFd, aside.c_str()); ++n) {
        if (errno != EEXIST || n > 100) {
            m_report.failDestination(errno);
            return std::nullopt;
        }
        aside = base + "-" + std::to_string(n); // two changes in one second
    }
    return aside;
}

template<class Make, class Reuse>
Placing::Placed Placing::placeEntry(int dstDirFd, const char *name, const struct stat &st, Make make,
                                    Reuse reuse)
{
    int err = make(name);
    if (err == 0) {
        m_versions.recordCreated();
        return Placed::New;
    }
    if (err != EEXIST) {
        m_report.failDestination(err);
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
            m_report.failDestination(err);
            return Placed::Failed;
        }
        if (reuse(existing))
            return Placed::Kept;
    }
    // Something stands there already: build the new entry aside and rename
    // it over, so a link there is replaced rather than written through, a
    // read-only or shared file is never modified, and the old entry stays
    // whole until the new one is complete.
    TemporaryEntry temp(m_names, m_report, dstDirFd);
    PlainResult<> placed = temp.make(make);
    if (placed)
        placed = temp.replace(name, m_versions);
    if (!placed) {
        m_report.say(placed.reason());
        return Placed::Failed;
    }
    return Placed::New;
}

bool Placing::linkCountFits(const struct stat &st, const struct stat &existing)
{
    // A destination shared with names the copy would not link to it (by the
    // user, or by an earlier copy of a group since split up) is not the
    // copy's to keep: a full copy would give a file of its own.
    if (st.st_nlink < 2)
        return existing.st_nlink < 2;
    if (existing.st_nlink > st.st_nlink)
        return false;
    const auto [kept, added] = m_kept.emplace(keyOf(existing), keyOf(st));
    return added || kept->second == keyOf(st);
}

void Placing::copyLink(int srcDirFd, const char *srcName, const struct stat &st, int dstDirFd,
                       const char *name)
{
    m_linkTarget.resize(size_t(st.st_size > 0 ? st.st_size : 255) + 1);
    ssize_t n;
    for (;;) {
        n = readlinkat(srcDirFd, srcName, m_linkTarget.data(), m_linkTarget.size());
        if (n < 0)
            return m_report.failSource(errno);
        if (size_t(n) < m_linkTarget.size())
            break;
        m_linkTarget.resize(m_linkTarget.size() * 2);
    }
    m_linkTarget[size_t(n)] = 0;
    // The target text is copied as it is; the link is never followed.
    const char *target = m_linkTarget.data();
    const Placed placed = placeEntry(dstDirFd, name, st, [&](const char *made) {
        return symlinkat(target, dstDirFd, made) == 0 ? 0 : errno;
    }, [&](const struct stat &existing) { return reuseLink(st, existing, dstDirFd, name, target, n); });
    if (placed == Placed::Failed)
        return;
    if (placed == Placed::New) {
        // An owner that cannot be kept is no failure: the link is the user's.
        fchownat(dstDirFd, name, st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW);
        const timespec times[2] = {st.st_atim, st.st_mtim};
        if (utimensat(dstDirFd, name, times, AT_SYMLINK_NOFOLLOW) != 0)
            m_report.failDestination(errno);
    }
    rememberCopy(st);
}

bool Placing::reuseLink(const struct stat &st, const struct stat &existing, int dstDirFd, const char *name,
                        const char *target, ssize_t length)
{
    if (!S_ISLNK(existing.st_mode) || existing.st_size != length)
        return false;
    m_dstLinkTarget.resize(size_t(length) + 1);
    if (readlinkat(dstDirFd, name, m_dstLinkTarget.data(), m_dstLinkTarget.size()) != length
        || std::memcmp(m_dstLinkTarget.data(), target, size_t(length)) != 0 || !linkCountFits(st, existing))
        return false;
    const bool sameOwner = existing.st_uid == st.st_uid && existing.st_gid == st.st_gid;
    const bool changes = !sameOwner || !sameTime(existing.st_mtim, st.st_mtim);
    // Changed in place, a link shared with a version would change it too.
    if (changes && existing.st_nlink > 1 && m_versions.enabled())
        return false;
    if (changes)
        m_versions.recordMetadata(existing);
    if (!sameOwner)
        fchownat(dstDirFd, name, st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW); // as for a new link
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if (!sameTime(existing.st_mtim, st.st_mtim) && utimensat(dstDirFd, name, times, AT_SYMLINK_NOFOLLOW) != 0)
        m_report.failDestination(errno);
    return true;
}

void Placing::setSpecialMetadata(const struct stat &st, int dstDirFd, const char *name,
                                 const struct stat *existing)
{
    mode_t mode = st.st_mode & 07777;
    if (!existing || existing->st_uid != st.st_uid || existing->st_gid != st.st_gid) {
        if (fchownat(dstDirFd, name, st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW) != 0)
            mode &= ~mode_t(S_ISUID | S_ISGID);
        existing = nullptr;
    }
    if ((!existing || (existing->st_mode & 07777) != mode)
        && fchmodat(dstDirFd, name, mode, AT_SYMLINK_NOFOLLOW) != 0)
        m_report.failDestination(errno);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if ((!existing || !sameTime(existing->st_mtim, st.st_mtim))
        && utimensat(dstDirFd, name, times, AT_SYMLINK_NOFOLLOW) != 0)
        m_report.failDestination(errno);
}

void Placing::copySpecial(const struct stat &st, int dstDirFd, const char *name)
{
    // Pipes, sockets and devices are made anew, never opened: reading a pipe
    // would wait for ever, reading a device would copy whatever it produces.
    const mode_t type = st.st_mode & S_IFMT;
    const Placed placed = placeEntry(dstDirFd, name, st, [&](const char *made) {
            const int r = S_ISFIFO(st.st_mode) ? mkfifoat(dstDirFd, made, 0600)
                                               : mknodat(dstDirFd, made, type | 0600, st.st_rdev);
            return r == 0 ? 0 : errno;
        }, [&](const struct stat &existing) {
            if ((existing.st_mode & S_IFMT) != type || existing.st_rdev != st.st_rdev
                || !linkCountFits(st, existing))
                return false;
            if (existing.st_nlink > 1 && m_versions.enabled())
                return false; // see reuseLink
            if (!sameMetadata(existing, st))
                m_versions.recordMetadata(existing);
            setSpecialMetadata(st, dstDirFd, name, &existing);
            return true;
        });
    if (placed == Placed::Failed)
        return;
    if (placed == Placed::New)
        setSpecialMetadata(st, dstDirFd, name, nullptr);
    rememberCopy(st);
}

bool Placing::linkToEarlierCopy(const struct stat &st, int dstDirFd, const char *name)
{
    if (m_dstRootFd < 0)
        return false;
    const auto found = m_linked.find(keyOf(st));
    if (found == m_linked.end())
        return false;
    const char *first = found->second.c_str();
    if (linkat(m_dstRootFd, first, dstDirFd, name, 0) == 0) {
        m_versions.recordCreated();
        return true;
    }
    if (errno == EEXIST) {
        // An earlier run may have made this very link already.
        struct stat existing, target;
        if (fstatat(dstDirFd, name, &existing, AT_SYMLINK_NOFOLLOW) == 0
            && fstatat(m_dstRootFd, first, &target, AT_SYMLINK_NOFOLLOW) == 0 && keyOf(existing) == keyOf(target))
            return true;
    }
    // What fails is said there.
    placeEntry(dstDirFd, name, st, [&](const char *made) {
        return linkat(m_dstRootFd, first, dstDirFd, made, 0) == 0 ? 0 : errno;
    }, [](const struct stat &) { return false; });
    return true;
}

void Placing::rememberCopy(const struct stat &st)
{
    // Only a file of several names is linked to again.
    if (st.st_nlink < 2 || m_dstRootFd < 0 || m_report.dst.size() <= m_report.dstRootLength + 1)
        return;
    m_linked.emplace(keyOf(st), m_report.dst.substr(m_report.dstRootLength + 1));
}

} // namespace cv::compat::detail
