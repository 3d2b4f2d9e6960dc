// Copying metadata: owner and mode, and extended attributes.
#include "Ditto.h"
#include "DittoSupport.h"

#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>

namespace cv::compat {

using namespace detail;

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

} // namespace cv::compat
