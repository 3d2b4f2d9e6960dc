#include "TreeCompare.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>

namespace cv::test {

namespace {

std::string readAll(const std::string &path)
{
    std::string out;
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return "<unreadable>";
    char buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        out.append(buffer, size_t(n));
    close(fd);
    return out;
}

std::map<std::string, std::string> readXattrs(const std::string &path)
{
    std::map<std::string, std::string> out;
    std::vector<char> names(65536);
    const ssize_t n = llistxattr(path.c_str(), names.data(), names.size());
    for (ssize_t pos = 0; n > 0 && pos < n;) {
        const std::string name(names.data() + pos);
        pos += ssize_t(name.size()) + 1;
        std::vector<char> value(65536);
        const ssize_t size = lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
        out[name] = size >= 0 ? std::string(value.data(), size_t(size)) : "<unreadable>";
    }
    return out;
}

void scan(const std::string &root, const std::string &relative, bool withXattrs,
          std::map<std::string, TreeEntry> &out)
{
    const std::string path = relative.empty() ? root : root + "/" + relative;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    TreeEntry &entry = out[relative];
    entry.mode = st.st_mode;
    entry.mtimeSec = st.st_mtim.tv_sec;
    entry.mtimeNsec = st.st_mtim.tv_nsec;
    entry.inode = st.st_ino;
    entry.rdev = st.st_rdev;
    if (withXattrs)
        entry.xattrs = readXattrs(path);
    if (S_ISLNK(st.st_mode)) {
        std::vector<char> target(size_t(st.st_size) + 1);
        const ssize_t n = readlink(path.c_str(), target.data(), target.size());
        entry.linkTarget.assign(target.data(), size_t(n > 0 ? n : 0));
    } else if (S_ISREG(st.st_mode)) {
        entry.content = readAll(path);
    } else if (S_ISDIR(st.st_mode)) {
        DIR *dir = opendir(path.c_str());
        if (!dir)
            return;
        std::vector<std::string> names;
        while (const dirent *d = readdir(dir)) {
            if (std::strcmp(d->d_name, ".") != 0 && std::strcmp(d->d_name, "..") != 0)
                names.emplace_back(d->d_name);
        }
        closedir(dir);
        for (const std::string &name : names)
            scan(root, relative.empty() ? name : relative + "/" + name, withXattrs, out);
    }
}

std::string shown(const std::string &relative)
{
    std::string out = relative.empty() ? "<root>" : relative;
    for (auto &c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F)
            c = '?';
    }
    return out;
}

// The sets of names that share a file, each set sorted.
std::set<std::vector<std::string>> linkGroups(const std::map<std::string, TreeEntry> &tree)
{
    std::map<ino_t, std::vector<std::string>> byInode;
    for (const auto &[path, entry] : tree) {
        if (!S_ISDIR(entry.mode))
            byInode[entry.inode].push_back(path);
    }
    std::set<std::vector<std::string>> groups;
    for (auto &[inode, paths] : byInode) {
        if (paths.size() > 1) {
            std::sort(paths.begin(), paths.end());
            groups.insert(paths);
        }
    }
    return groups;
}

} // namespace

std::map<std::string, TreeEntry> scanTree(const std::string &root, bool withXattrs)
{
    std::map<std::string, TreeEntry> out;
    scan(root, {}, withXattrs, out);
    return out;
}

std::vector<std::string> compareTrees(const std::string &first, const std::string &second,
                                      const CompareOptions &options)
{
    std::vector<std::string> diffs;
    auto a = scanTree(first, options.xattrs);
    auto b = scanTree(second, options.xattrs);
    if (options.extraInSecondOk) {
        for (auto it = b.begin(); it != b.end();)
            it = a.count(it->first) ? std::next(it) : b.erase(it);
    }
    for (const auto &[path, x] : a) {
        const auto found = b.find(path);
        if (found == b.end()) {
            diffs.push_back(shown(path) + ": missing in the second tree");
            continue;
        }
        const TreeEntry &y = found->second;
        if ((x.mode & S_IFMT) != (y.mode & S_IFMT)) {
            diffs.push_back(shown(path) + ": different type");
            continue;
        }
        const bool root = path.empty();
        if ((!root || options.rootAttributes) && x.mode != y.mode)
            diffs.push_back(shown(path) + ": mode " + std::to_string(x.mode & 07777) + " vs "
                            + std::to_string(y.mode & 07777));
        if ((!root || options.rootAttributes)
            && (x.mtimeSec != y.mtimeSec || x.mtimeNsec != y.mtimeNsec))
            diffs.push_back(shown(path) + ": modification time differs");
        if (x.linkTarget != y.linkTarget)
            diffs.push_back(shown(path) + ": link target differs");
        if (x.content != y.content)
            diffs.push_back(shown(path) + ": contents differ");
        if (x.rdev != y.rdev)
            diffs.push_back(shown(path) + ": device number differs");
        if (x.xattrs != y.xattrs)
            diffs.push_back(shown(path) + ": extended attributes differ");
    }
    for (const auto &[path, y] : b) {
        if (!a.count(path))
            diffs.push_back(shown(path) + ": only in the second tree");
    }
    if (linkGroups(a) != linkGroups(b))
        diffs.push_back("hard-link groups differ");
    return diffs;
}

bool supportsUserXattrs(const std::string &folder)
{
    const std::string probe = folder + "/.xattr-probe";
    const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const bool ok = fsetxattr(fd, "user.probe", "1", 1, 0) == 0;
    close(fd);
    unlink(probe.c_str());
    return ok;
}

} // namespace cv::test
