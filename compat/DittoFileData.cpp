// Copying a regular file: the quick check that leaves an unchanged file
// alone, and the data itself, holes kept, through the kernel where it can.
#include "Ditto.h"
#include "DittoSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

namespace cv::compat {

using namespace detail;

namespace {

// One call moves a whole 100 MB file; the kernel caps it near 2 GB anyway.
constexpr size_t kCopyChunk = size_t(1) << 30;
constexpr size_t kBufferSize = size_t(1) << 20;

} // namespace

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
    // Changed in place, a file shared with a version would change it too.
    if (existing.st_nlink > 1 && keepingVersions())
        return false;
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
    // Earlier points show the mode and owner as they were, with no copy of the data.
    if (ok && (!sameOwner || (current.st_mode & 07777) != (st.st_mode & 07777)))
        recordMetadata(current);
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
    // Written under a temporary name and renamed once complete, new or not:
    // a copy cut short (kill -9, a power cut) never stands under the real
    // name, where a later run would take it for the file and keep it as a
    // version. A replaced file stays whole until the rename.
    int out = -1;
    for (int attempt = 0; attempt < 100; ++attempt) {
        nextTempName(m_tempName);
        out = openat(dstDirFd, m_tempName.c_str(), kCreate, 0600);
        if (out >= 0 || errno != EEXIST)
            break;
    }
    if (out < 0) {
        failDestination(errno);
        return;
    }
    const char *written = m_tempName.c_str();
    // Until it is complete, a signal that ends the copy takes it away.
    markUnfinished(dstDirFd, written);
    const auto discard = [&](int err) {
        unlinkat(dstDirFd, written, 0);
        markFinished();
        if (err)
            failDestination(err);
    };
    if (!copyData(srcFd, out, st)) {
        close(out);
        discard(0);
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
        discard(errno);
        return;
    }
    if (replace) {
        // The entry replaced is kept first, so that an end at any point
        // loses nothing of it.
        if (keepingVersions() && !keepVersion(dstDirFd, name)) {
            discard(0);
            return;
        }
        markUnfinished(dstDirFd, written); // a fallback copy of the version held the mark meanwhile
        if (renameat(dstDirFd, written, dstDirFd, name) != 0) {
            discard(errno);
            return;
        }
    } else if (!renameNoReplace(dstDirFd, written, dstDirFd, name)) {
        // Something took the name meanwhile: not ours to replace unseen.
        discard(errno);
        return;
    } else if (!exists) {
        recordCreated(); // not where a folder was moved aside: that is kept
    }
    markFinished();
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

} // namespace cv::compat
