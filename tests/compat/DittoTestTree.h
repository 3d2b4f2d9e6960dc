#pragma once
// Helpers of the ditto tests: trees built and described, ditto run in this
// process with a clock of the test's choosing.

#include "BackupFormat.h"
#include "CompatTestSupport.h"
#include "Ditto.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <set>

namespace cv::test {

namespace fs = std::filesystem;

inline const std::string kDitto = CV_DITTO;
inline constexpr uid_t kNobody = 65534;
// The backup's names on disk, as ditto writes them.
inline const std::string kVersions = cv::format::kVersionsFolder;
inline const std::string kTemp = cv::format::kTempPrefix;

inline std::string versionsSetting(const std::string &folder)
{
    return std::string(cv::format::kVersionsDirVariable) + "=" + folder;
}

inline void makeFolder(const std::string &path, mode_t mode = 0755)
{
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path;
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

inline void makeFile(const std::string &path, const std::string &content, mode_t mode = 0644)
{
    std::ofstream(path, std::ios::binary) << content;
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

inline std::string readBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "<missing>";
}

inline std::string pseudoRandom(size_t size, unsigned seed)
{
    std::string out(size, 0);
    for (char &c : out) {
        seed = seed * 1103515245u + 12345u;
        c = char(seed >> 16);
    }
    return out;
}

inline void setTime(const std::string &path, time_t seconds, long nanoseconds = 0)
{
    const timespec times[2] = {{seconds, 0}, {seconds, nanoseconds}};
    EXPECT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

inline struct stat statOf(const std::string &path)
{
    struct stat st{};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
}

inline bool supportsUserXattrs(const std::string &folder)
{
    const std::string probe = folder + "/.xattr-probe";
    makeFile(probe, "");
    const bool ok = setxattr(probe.c_str(), "user.probe", "1", 1, 0) == 0;
    unlink(probe.c_str());
    return ok;
}

// Relative path ("" for the root) -> all a faithful copy keeps of the entry:
// type and mode, time to the nanosecond, device number, link target,
// contents, extended attributes and which names share one file.
inline std::map<std::string, std::string> describeTree(const std::string &root, bool xattrs)
{
    std::vector<std::string> paths{root};
    for (const auto &entry : fs::recursive_directory_iterator(root))
        paths.push_back(entry.path().native());
    std::sort(paths.begin(), paths.end());
    std::map<std::string, std::string> tree;
    std::map<ino_t, std::string> firstName;
    for (const std::string &path : paths) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0)
            continue;
        const std::string relative = path.substr(std::min(path.size(), root.size() + 1));
        std::string &d = tree[relative];
        d = std::to_string(st.st_mode) + " " + std::to_string(st.st_mtim.tv_sec) + "."
            + std::to_string(st.st_mtim.tv_nsec) + " dev " + std::to_string(st.st_rdev);
        if (S_ISLNK(st.st_mode))
            d += " -> " + fs::read_symlink(path).native();
        if (S_ISREG(st.st_mode))
            d += " data " + std::to_string(std::hash<std::string>()(readBytes(path)));
        if (!S_ISDIR(st.st_mode) && !firstName.emplace(st.st_ino, relative).second)
            d += " same file as " + firstName[st.st_ino];
        std::vector<char> names(65536);
        const ssize_t n = xattrs ? llistxattr(path.c_str(), names.data(), names.size()) : 0;
        std::set<std::string> attributes;
        for (ssize_t pos = 0; pos < n; pos += ssize_t(std::strlen(names.data() + pos)) + 1) {
            std::string value(65536, 0);
            const ssize_t size = lgetxattr(path.c_str(), names.data() + pos, value.data(), value.size());
            value.resize(size_t(std::max<ssize_t>(size, 0)));
            attributes.insert(std::string(names.data() + pos) + "=" + std::to_string(std::hash<std::string>()(value)));
        }
        for (const std::string &a : attributes)
            d += " " + a;
    }
    return tree;
}

// Entries only in the copy are fine when `extraOk`. The copy's own folder
// mirrors the source only when the copy made it (`rootToo`).
inline void expectSameTree(const std::string &original, const std::string &copy, bool xattrs, bool extraOk = false,
                           bool rootToo = false)
{
    auto a = describeTree(original, xattrs);
    auto b = describeTree(copy, xattrs);
    if (!rootToo) {
        a.erase("");
        b.erase("");
    }
    if (extraOk)
        std::erase_if(b, [&a](const auto &entry) { return !a.count(entry.first); });
    EXPECT_EQ(a, b);
}

struct SampleTree {
    std::string root;
    std::string outsideFile;
    bool xattrs = false;
};

// Everything a mail folder may hold, and some things it should not.
inline SampleTree buildSampleTree(const TempFolder &temp)
{
    SampleTree tree{temp / "src", temp / "outside.txt", supportsUserXattrs(temp.path())};
    makeFile(tree.outsideFile, "not part of the tree");
    const std::string &r = tree.root;
    makeFolder(r);
    makeFolder(r + "/Mail");
    makeFolder(r + "/Mail/Inbox.mbox");
    makeFolder(r + "/Mail/Inbox.mbox/Messages", 0700);
    makeFolder(r + "/empty folder");
    makeFolder(r + "/read only folder", 0755);
    makeFile(r + "/Mail/Inbox.mbox/Messages/1.emlx", "From: a\nSubject: hello\n\nbody\n", 0600);
    makeFile(r + "/Mail/Inbox.mbox/big.mbox", pseudoRandom(3 * 1024 * 1024 + 17, 7));
    makeFile(r + "/Mail/one", "linked three times");
    makeFile(r + "/read only folder/inside.txt", "in a folder made read-only", 0444);
    chmod((r + "/read only folder").c_str(), 0555);
    makeFile(r + "/with blank.txt", "blank");
    makeFile(r + "/quote\"d 'name'.txt", "quotes");
    makeFile(r + "/line\nfeed", "line feed");
    makeFile(r + "/bytes\xff\xfe.bin", std::string("\0\1\2", 3));
    makeFile(r + "/odd $HOME `x` \\ \t;&|.txt", "shell characters");
    makeFile(r + "/empty.txt", "");
    makeFile(r + "/script.sh", "#!/bin/sh\n", 0755);
    makeFile(r + "/readonly.txt", "read only", 0444);
    makeFile(r + "/setid", "set-id bits", 06755);
    EXPECT_EQ(link((r + "/Mail/one").c_str(), (r + "/empty folder/../with blank again").c_str()), 0);
    EXPECT_EQ(link((r + "/Mail/one").c_str(), (r + "/Mail/Inbox.mbox/third").c_str()), 0);
    EXPECT_EQ(symlink("Inbox.mbox/Messages/1.emlx", (r + "/Mail/latest").c_str()), 0);
    EXPECT_EQ(symlink(tree.outsideFile.c_str(), (r + "/outside").c_str()), 0);
    EXPECT_EQ(symlink("../..", (r + "/Mail/up").c_str()), 0);
    EXPECT_EQ(symlink("no/such/file", (r + "/dangling").c_str()), 0);
    EXPECT_EQ(symlink("Mail", (r + "/folder link").c_str()), 0);
    EXPECT_EQ(mkfifo((r + "/pipe").c_str(), 0640), 0);
    if (tree.xattrs) {
        const std::string big = pseudoRandom(3000, 3); // more than the first buffer holds
        EXPECT_EQ(setxattr((r + "/Mail/Inbox.mbox/Messages/1.emlx").c_str(), "user.rsrc",
                           big.data(), big.size(), 0), 0);
        EXPECT_EQ(setxattr((r + "/empty.txt").c_str(), "user.empty", "", 0, 0), 0);
        EXPECT_EQ(setxattr((r + "/Mail").c_str(), "user.folder note", "x\0y", 3, 0), 0);
    }
    // Distinct past times with nanoseconds, deepest entries first, so that
    // a folder's time is not disturbed afterwards by its contents.
    std::vector<std::string> paths;
    for (const auto &entry : fs::recursive_directory_iterator(r))
        paths.push_back(entry.path().native());
    std::sort(paths.begin(), paths.end(),
              [](const std::string &a, const std::string &b) { return a.size() > b.size(); });
    paths.push_back(r);
    for (long n = 1; n <= long(paths.size()); ++n)
        setTime(paths[size_t(n - 1)], 1200000000 + n * 3600, n * 1000 + 17);
    return tree;
}

// Relative path -> inode and change time: what any write, even of metadata
// alone, or any replacement changes.
inline std::map<std::string, std::pair<ino_t, long long>> identities(const std::string &root)
{
    std::map<std::string, std::pair<ino_t, long long>> out;
    for (const auto &entry : fs::recursive_directory_iterator(root)) {
        const struct stat st = statOf(entry.path());
        out[entry.path().native().substr(root.size())] = {st.st_ino, st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec};
    }
    return out;
}

// In this process, with a clock of the test's choosing; returns the messages.
inline std::string dittoAt(const std::string &src, const std::string &dst, time_t now, bool *ok = nullptr)
{
    char *text = nullptr;
    size_t size = 0;
    std::FILE *messages = open_memstream(&text, &size);
    bool copied;
    {
        cv::compat::DittoOptions options;
        options.keepExtendedAttributes = true;
        cv::compat::Ditto ditto(options, messages);
        ditto.setClock([now] { return timespec{now, 0}; });
        copied = ditto.copy(src, dst);
    }
    std::fclose(messages);
    const std::string out(text, size);
    std::free(text);
    if (ok)
        *ok = copied;
    return out;
}

} // namespace cv::test
