#pragma once
// Walks two folder trees and lists every difference that matters to a copy:
// type, mode, modification time, link target, contents, extended attributes
// and which names share one file (hard links).

#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

namespace cv::test {

struct TreeEntry {
    mode_t mode = 0;
    long long mtimeSec = 0;
    long mtimeNsec = 0;
    std::string linkTarget;
    std::string content;
    std::map<std::string, std::string> xattrs;
    ino_t inode = 0;
    dev_t rdev = 0;
};

// Relative path ("" for the root itself) -> entry. Links are never followed.
std::map<std::string, TreeEntry> scanTree(const std::string &root, bool withXattrs);

struct CompareOptions {
    bool xattrs = true;
    bool rootAttributes = true;    // compare mode and time of the roots too
    bool extraInSecondOk = false;  // entries only in the second tree are fine
};

// Empty when the trees match; otherwise one readable line per difference.
std::vector<std::string> compareTrees(const std::string &first, const std::string &second,
                                      const CompareOptions &options = {});

// Whether user extended attributes work in `folder`.
bool supportsUserXattrs(const std::string &folder);

} // namespace cv::test
