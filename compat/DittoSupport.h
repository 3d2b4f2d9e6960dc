#pragma once
// Small helpers the parts of the copy engine share: paths, times, kinds.
#include <fcntl.h>
#include <sys/stat.h>
#include <stdio.h>

#include <cerrno>
#include <ctime>
#include <string>

namespace cv::compat::detail {

inline bool isDotOrDotDot(const char *name)
{
    return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

// "a/b//" -> "a/b"; "/" -> "" so that joining with "/name" stays right.
inline std::string withoutTrailingSlashes(const std::string &path)
{
    std::string p = path;
    while (!p.empty() && p.back() == '/')
        p.pop_back();
    return p;
}

inline std::string lastComponent(const std::string &path)
{
    const std::string p = withoutTrailingSlashes(path);
    const size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

inline std::string parentOf(const std::string &path)
{
    const std::string p = withoutTrailingSlashes(path);
    const size_t slash = p.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return p.substr(0, slash);
}


inline bool sameTime(const timespec &a, const timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// What a copy sets on an entry: mode, owner and modification time.
inline bool sameMetadata(const struct stat &a, const struct stat &b)
{
    return (a.st_mode & 07777) == (b.st_mode & 07777) && a.st_uid == b.st_uid && a.st_gid == b.st_gid
        && sameTime(a.st_mtim, b.st_mtim);
}

inline const char *kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return "folder";
    if (S_ISREG(mode))
        return "file";
    if (S_ISLNK(mode))
        return "link";
    return "special file";
}

// rename that fails with EEXIST rather than replace; where the file system
// has no such rename, looks first (one copy writes a folder at a time).
inline bool renameNoReplace(int fromDir, const char *from, int toDir, const char *to)
{
    if (renameat2(fromDir, from, toDir, to, RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    struct stat taken;
    if (fstatat(toDir, to, &taken, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return false;
    }
    return renameat(fromDir, from, toDir, to) == 0;
}

inline bool isDestinationError(int err)
{
    return err == ENOSPC || err == EDQUOT || err == EFBIG || err == EROFS;
}

} // namespace cv::compat::detail
