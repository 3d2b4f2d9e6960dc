// Copying metadata: owner and mode, and extended attributes.
#include "DittoParts.h"

#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>

namespace cv::compat::detail {

bool setOwnerAndMode(int fd, const struct stat &st, const struct stat *existing)
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

namespace {

// One attribute's value into `value`, grown as needed: its size, or -1.
ssize_t attributeValue(int fd, const char *attr, std::vector<char> &value)
{
    for (;;) {
        const ssize_t size = fgetxattr(fd, attr, value.data(), value.size());
        if (size >= 0)
            return size;
        if (errno != ERANGE)
            return -1;
        const ssize_t needed = fgetxattr(fd, attr, nullptr, 0);
        if (needed < 0)
            return -1;
        value.resize(size_t(needed) + 4096);
    }
}

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

bool isUserAttribute(const char *attr)
{
    return std::strncmp(attr, "user.", 5) == 0;
}

std::string attributeFailure(const char *what, const char *attr, int err)
{
    return std::string(what) + printablePath(attr) + ": " + std::strerror(err);
}

} // namespace

bool Attributes::copy(int in, int out, AttributeMode mode, bool quiet)
{
    const ssize_t length = listAttributes(in, m_names);
    if (length < 0) {
        if (!quiet)
            m_report.failSource(errno);
        return false;
    }
    ssize_t dstLength = 0;
    if (mode != AttributeMode::New) {
        dstLength = listAttributes(out, m_dstNames);
        if (dstLength < 0) {
            if (!quiet)
                m_report.failDestination(errno);
            return false;
        }
    }
    const bool set = setValues(in, out, length, dstLength, mode, quiet);
    if (!set && quiet)
        return false;
    if (mode != AttributeMode::Same)
        return set;
    return removeStale(out, length, dstLength, quiet) && set;
}

bool Attributes::setValues(int in, int out, ssize_t length, ssize_t dstLength, AttributeMode mode, bool quiet)
{
    bool ok = true;
    for (ssize_t pos = 0; pos < length;) {
        const char *attr = m_names.data() + pos;
        pos += ssize_t(std::strlen(attr)) + 1;
        const ssize_t size = attributeValue(in, attr, m_value);
        if (size < 0) {
            if (errno == ENODATA)
                continue; // removed meanwhile
            if (quiet)
                return false;
            m_report.fail(m_report.src, attributeFailure("cannot read extended attribute ", attr, errno).c_str());
            ok = false;
            continue;
        }
        if (mode != AttributeMode::New && listHas(m_dstNames, dstLength, attr)
            && attributeValue(out, attr, m_dstValue) == size
            && std::memcmp(m_dstValue.data(), m_value.data(), size_t(size)) == 0)
            continue; // already there: writing it again would change the file
        if (fsetxattr(out, attr, m_value.data(), size_t(size), 0) == 0)
            continue;
        const int err = errno;
        if (refused(attr, err) == Refusal::Ignored)
            continue;
        if (quiet)
            return false;
        m_report.fail(m_report.dst, attributeFailure("cannot keep extended attribute ", attr, err).c_str());
        ok = false;
    }
    return ok;
}

Attributes::Refusal Attributes::refused(const char *attr, int err)
{
    // Attributes the system owns (access lists, security labels) may be
    // refused by the destination; the user's own must arrive.
    if (!isUserAttribute(attr) && (err == EPERM || err == ENOTSUP || err == EOPNOTSUPP || err == EACCES))
        return Refusal::Ignored;
    // A destination file system without extended attributes (a FAT drive,
    // say) can never keep them; failing every backup to it would make the
    // backup useless. Say so once and go on.
    if (err == ENOTSUP || err == EOPNOTSUPP) {
        if (!m_unsupportedReported) {
            m_unsupportedReported = true;
            m_report.note(m_report.dst, "the destination does not keep extended attributes; they were not copied");
        }
        return Refusal::Ignored;
    }
    return Refusal::Failed;
}

bool Attributes::removeStale(int out, ssize_t length, ssize_t dstLength, bool quiet)
{
    bool ok = true;
    for (ssize_t pos = 0; pos < dstLength;) {
        const char *attr = m_dstNames.data() + pos;
        pos += ssize_t(std::strlen(attr)) + 1;
        // Only the user's own: labels the system puts on every new file are
        // what a fresh copy would carry too.
        if (!isUserAttribute(attr) || listHas(m_names, length, attr))
            continue;
        if (fremovexattr(out, attr) != 0 && errno != ENODATA) {
            if (quiet)
                return false;
            m_report.failDestination(errno);
            ok = false;
        }
    }
    return ok;
}

} // namespace cv::compat::detail
