// Copying a regular file: the quick check that leaves an unchanged file
// alone, and the data itself, holes kept, through the kernel where it can.
#include "DittoParts.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

namespace cv::compat::detail {

namespace {

// One call moves a whole 100 MB file; the kernel caps it near 2 GB anyway.
constexpr size_t kCopyChunk = size_t(1) << 30;
constexpr size_t kBufferSize = size_t(1) << 20;

// Opens a source file to read it; `path` names it in the reason.
PlainResult<SourceEntry> openSource(int srcDirFd, const char *name, const std::string &path)
{
    // O_NONBLOCK: should the entry have become a pipe meanwhile, the open
    // must not wait for a writer.
    SourceEntry source;
    source.fd.reset(openat(srcDirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!source.fd || fstat(source.fd.get(), &source.st) != 0)
        return cv::fail(Report::at(path, errno));
    if (!S_ISREG(source.st.st_mode))
        return cv::fail(Report::at(path, EAGAIN));
    return source;
}

} // namespace

bool Placing::attributesMayDiffer(const struct stat &st, const struct stat &existing) const
{
    // Attributes are compared only where the source changed (its change time
    // moves with every attribute written) since the destination was last
    // written, which is when they were copied. Reading them for every file
    // would double the cost of a repeat. This trusts, as the quick check
    // does, that an earlier copy with attributes wrote the destination.
    // Without -rsrc they are not looked at: such a copy never touches them.
    return m_options.keepExtendedAttributes
        && (st.st_ctim.tv_sec > existing.st_ctim.tv_sec
            || (st.st_ctim.tv_sec == existing.st_ctim.tv_sec && st.st_ctim.tv_nsec >= existing.st_ctim.tv_nsec));
}

bool Placing::reuseRegular(int srcDirFd, const char *srcName, UniqueFd &srcFd, struct stat &st,
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
    const bool attributes = attributesMayDiffer(st, existing);
    const bool sameOwner = existing.st_uid == st.st_uid && existing.st_gid == st.st_gid;
    if (sameOwner && (existing.st_mode & 07777) == (st.st_mode & 07777) && !attributes)
        return true;
    // Changed in place, a file shared with a version would change it too.
    if (existing.st_nlink > 1 && m_versions.enabled())
        return false;
    if (attributes && !srcFd) {
        auto opened = openSource(srcDirFd, srcName, m_report.src);
        if (!opened)
            return false; // copied anew, which says why
        const struct stat seen = st;
        srcFd = std::move(opened->fd);
        st = opened->st;
        if (st.st_ino != seen.st_ino || st.st_size != seen.st_size || !sameTime(st.st_mtim, seen.st_mtim))
            return false; // changed meanwhile: copied anew
    }
    return setMetadataInPlace(srcFd.get(), st, existing, dstDirFd, name, attributes);
}

bool Placing::setMetadataInPlace(int srcFd, const struct stat &st, const struct stat &existing, int dstDirFd,
                                 const char *name, bool attributes)
{
    // Metadata only, through a descriptor of the very file just looked at.
    const UniqueFd fd(openat(dstDirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd)
        return false;
    struct stat current;
    bool ok = fstat(fd.get(), &current) == 0 && keyOf(current) == keyOf(existing);
    if (ok && attributes)
        ok = m_attributes.copy(srcFd, fd.get(), AttributeMode::Same, true);
    // Earlier points show the mode and owner as they were, with no copy of the data.
    const bool sameOwner = existing.st_uid == st.st_uid && existing.st_gid == st.st_gid;
    if (ok && (!sameOwner || (current.st_mode & 07777) != (st.st_mode & 07777)))
        m_versions.recordMetadata(current);
    // On any trouble the file is copied anew, which reports what fails.
    return ok && setOwnerAndMode(fd.get(), st, &current);
}

void Placing::copyRegular(int srcDirFd, const char *srcName, UniqueFd &srcFd, const struct stat &found,
                          int dstDirFd, const char *name, bool fresh)
{
    struct stat st = found;
    // In a folder this run made, nothing can stand in the way yet.
    struct stat existing;
    bool exists = false;
    if (!fresh) {
        exists = fstatat(dstDirFd, name, &existing, AT_SYMLINK_NOFOLLOW) == 0;
        if (!exists && errno != ENOENT)
            return m_report.failDestination(errno);
    }
    const bool replace = exists && !S_ISDIR(existing.st_mode);
    if (replace && reuseRegular(srcDirFd, srcName, srcFd, st, existing, dstDirFd, name))
        return rememberCopy(st);
    // Read only now: a repeat leaves most files unopened.
    if (!srcFd) {
        auto opened = openSource(srcDirFd, srcName, m_report.src);
        if (!opened)
            return m_report.say(opened.reason());
        srcFd = std::move(opened->fd);
        st = opened->st;
    }
    // The source entry was a folder at the last copy.
    if (exists && !replace && !moveAside(dstDirFd, name, existing, st))
        return;
    TemporaryEntry temp(m_names, m_report, dstDirFd);
    if (!writeFile(temp, srcFd.get(), st))
        return;
    const PlainResult<> placed = replace ? temp.replace(name, m_versions) : temp.placeNew(name);
    if (!placed)
        return m_report.say(placed.reason());
    if (!exists)
        m_versions.recordCreated(); // not where a folder was moved aside: that is kept
    rememberCopy(st);
}

bool Placing::writeFile(TemporaryEntry &temp, int in, const struct stat &st)
{
    auto out = temp.createFile();
    if (!out) {
        m_report.say(out.reason());
        return false;
    }
    if (auto copied = m_data.copy(in, out->get(), st); !copied) {
        m_report.say(copied.reason());
        return false;
    }
    // What fails of these is said; the file is still placed, as complete as
    // the destination allows.
    if (m_options.keepExtendedAttributes)
        m_attributes.copy(in, out->get(), AttributeMode::New);
    if (!setOwnerAndMode(out->get(), st, nullptr))
        m_report.failDestination(errno);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if (futimens(out->get(), times) != 0)
        m_report.failDestination(errno);
    if (out->close() != 0) {
        m_report.failDestination(errno);
        return false;
    }
    return true;
}

PlainResult<> DataCopy::copy(int in, int out, const struct stat &st)
{
    // Only a file that takes less room than its size can hold holes; the
    // others are copied in one go without looking for them.
    if (st.st_size > 0 && off_t(st.st_blocks) * 512 < st.st_size)
        return copyHoles(in, out, st);
    return copyRange(in, out, 0, -1);
}

PlainResult<> DataCopy::copyHoles(int in, int out, const struct stat &st)
{
    for (off_t pos = 0;;) {
        const off_t data = lseek(in, pos, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO)
                break; // a hole up to the end
            if (pos == 0 && (errno == EINVAL || errno == EOPNOTSUPP))
                return copyRange(in, out, 0, -1); // holes cannot be found here
            return cv::fail(Report::at(m_report.src, errno));
        }
        const off_t hole = lseek(in, data, SEEK_HOLE);
        if (hole < 0)
            return cv::fail(Report::at(m_report.src, errno));
        if (auto copied = copyRange(in, out, data, hole); !copied)
            return copied;
        pos = hole;
    }
    // The size now: the file may have changed since it was looked at.
    struct stat now;
    const off_t size = fstat(in, &now) == 0 ? now.st_size : st.st_size;
    if (ftruncate(out, size) != 0)
        return cv::fail(Report::at(m_report.dst, errno));
    return {};
}

PlainResult<> DataCopy::copyRange(int in, int out, off_t from, off_t to)
{
    // `to` < 0: up to the end of the file, however long it has grown.
    off_t inPos = from;
    off_t outPos = from;
    if (m_copyRangeWorks) {
        if (auto copied = kernelCopy(in, out, inPos, outPos, to))
            return std::move(*copied);
    }
    return bufferCopy(in, out, inPos, outPos, to);
}

std::optional<PlainResult<>> DataCopy::kernelCopy(int in, int out, off_t &inPos, off_t &outPos, off_t to)
{
    while (to < 0 || inPos < to) {
        const size_t length = to < 0 ? kCopyChunk : std::min(kCopyChunk, size_t(to - inPos));
        const ssize_t n = copy_file_range(in, &inPos, out, &outPos, length, 0);
        if (n > 0)
            continue;
        if (n == 0)
            return PlainResult<>();
        if (errno == EINTR)
            continue;
        if (errno == ENOSYS || errno == EXDEV || errno == EOPNOTSUPP || errno == EINVAL) {
            // Not across these file systems: plain reads and writes for
            // the rest of the run, from where this left off.
            m_copyRangeWorks = false;
            return std::nullopt;
        }
        const int err = errno;
        return PlainResult<>(cv::fail(Report::at(isDestinationError(err) ? m_report.dst : m_report.src, err)));
    }
    return PlainResult<>();
}

PlainResult<> DataCopy::bufferCopy(int in, int out, off_t inPos, off_t outPos, off_t to)
{
    if (m_buffer.empty())
        m_buffer.resize(kBufferSize);
    while (to < 0 || inPos < to) {
        const size_t want = to < 0 ? m_buffer.size() : std::min(m_buffer.size(), size_t(to - inPos));
        const ssize_t n = pread(in, m_buffer.data(), want, inPos);
        if (n == 0)
            return {};
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return cv::fail(Report::at(m_report.src, errno));
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = pwrite(out, m_buffer.data() + done, size_t(n - done), outPos);
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                return cv::fail(Report::at(m_report.dst, errno));
            }
            done += w;
            outPos += w;
        }
        inPos += n;
    }
    return {};
}

} // namespace cv::compat::detail
