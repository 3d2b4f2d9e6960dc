// The ditto command against trees built here, and against what `cp -a`
// makes of the same tree.
#include "Ditto.h"
#include "ProcessRunner.h"
#include "TreeCompare.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>

using namespace cv::test;
namespace fs = std::filesystem;

namespace {

const std::string kDitto = CV_DITTO;
constexpr uid_t kNobody = 65534;

// A fresh folder under the system's temporary folder, removed afterwards.
class TempFolder
{
public:
    TempFolder()
    {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/cv-ditto-XXXXXX";
        if (mkdtemp(pattern.data()))
            m_path = pattern;
    }
    ~TempFolder()
    {
        if (m_path.empty())
            return;
        // Give back every permission first so that removal works unprivileged.
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(m_path, fs::directory_options::skip_permission_denied, ec);
             it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (it->is_directory(ec) && !it->is_symlink(ec))
                chmod(it->path().c_str(), 0700);
        }
        chmod(m_path.c_str(), 0700);
        fs::remove_all(m_path, ec);
    }
    const std::string &path() const { return m_path; }
    std::string operator/(const std::string &relative) const { return m_path + "/" + relative; }

private:
    std::string m_path;
};

void makeFolder(const std::string &path, mode_t mode = 0755)
{
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path;
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

void makeFile(const std::string &path, const std::string &content, mode_t mode = 0644)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, content.data(), content.size()), ssize_t(content.size()));
    close(fd);
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

std::string readBytes(const std::string &path)
{
    std::string out;
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return "<missing>";
    char buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        out.append(buffer, size_t(n));
    close(fd);
    return out;
}

std::string pseudoRandom(size_t size, unsigned seed)
{
    std::string out(size, 0);
    unsigned x = seed;
    for (char &c : out) {
        x = x * 1103515245u + 12345u;
        c = char(x >> 16);
    }
    return out;
}

// Distinct past times with nanoseconds on every entry, deepest first, so a
// folder's time is not disturbed afterwards by its contents.
void stampTimes(const std::string &root)
{
    std::vector<std::string> paths;
    for (const auto &entry : fs::recursive_directory_iterator(root))
        paths.push_back(entry.path().native());
    std::sort(paths.begin(), paths.end(),
              [](const std::string &a, const std::string &b) { return a.size() > b.size(); });
    paths.push_back(root);
    long n = 0;
    for (const std::string &path : paths) {
        ++n;
        const timespec times[2] = {{1000000000 + n * 7, 0}, {1200000000 + n * 3600, n * 1000 + 17}};
        utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
}

struct SampleTree {
    std::string root;
    std::string outsideFile;
    bool xattrs = false;
};

// Everything a mail folder may hold, and some things it should not.
SampleTree buildSampleTree(const TempFolder &temp)
{
    SampleTree tree;
    tree.root = temp / "src";
    tree.outsideFile = temp / "outside.txt";
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

    tree.xattrs = supportsUserXattrs(temp.path());
    if (tree.xattrs) {
        const std::string big = pseudoRandom(3000, 3); // more than the first buffer holds
        EXPECT_EQ(setxattr((r + "/Mail/Inbox.mbox/Messages/1.emlx").c_str(), "user.rsrc",
                           big.data(), big.size(), 0), 0);
        EXPECT_EQ(setxattr((r + "/empty.txt").c_str(), "user.empty", "", 0, 0), 0);
        EXPECT_EQ(setxattr((r + "/Mail").c_str(), "user.folder note", "x\0y", 3, 0), 0);
    }
    stampTimes(r);
    return tree;
}

std::string describe(const std::vector<std::string> &diffs)
{
    std::string out;
    for (const auto &d : diffs)
        out += d + "\n";
    return out;
}

} // namespace

TEST(Ditto, CopiesATreeAsCpArchiveDoes)
{
    TempFolder temp;
    const SampleTree tree = buildSampleTree(temp);
    if (!tree.xattrs)
        std::printf("note: %s has no user extended attributes; not checked\n", temp.path().c_str());
    const std::string dst = temp / "backup/new/deeper";

    const ProcessResult run = runProcess({kDitto, "-rsrc", tree.root, dst}, std::nullopt, 30);
    ASSERT_FALSE(run.timedOut) << "ditto must never wait on a pipe in the tree";
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");

    const ProcessResult cp = runProcess({"/bin/cp", "-a", tree.root + "/.", temp / "cp"});
    ASSERT_EQ(cp.exitCode, 0) << cp.err;

    CompareOptions options;
    options.xattrs = tree.xattrs;
    EXPECT_EQ(describe(compareTrees(temp / "cp", dst, options)), "");
    EXPECT_EQ(describe(compareTrees(tree.root, dst, options)), "");

    // Links stay links with their own text; nothing outside was touched.
    struct stat st;
    ASSERT_EQ(lstat((dst + "/outside").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(lstat((dst + "/folder link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(readBytes(tree.outsideFile), "not part of the tree");
}

TEST(Ditto, KeepsExtendedAttributesOnlyWithRsrc)
{
    TempFolder temp;
    if (!supportsUserXattrs(temp.path()))
        GTEST_SKIP() << "no user extended attributes in " << temp.path();
    makeFolder(temp / "src");
    makeFile(temp / "src/f", "data");
    ASSERT_EQ(setxattr((temp / "src/f").c_str(), "user.rsrc", "fork", 4, 0), 0);

    EXPECT_EQ(runProcess({kDitto, temp / "src", temp / "plain"}).exitCode, 0);
    EXPECT_EQ(getxattr((temp / "plain/f").c_str(), "user.rsrc", nullptr, 0), -1);
    EXPECT_EQ(readBytes(temp / "plain/f"), "data");

    EXPECT_EQ(runProcess({kDitto, "-rsrc", temp / "src", temp / "kept"}).exitCode, 0);
    char value[8] = {};
    EXPECT_EQ(getxattr((temp / "kept/f").c_str(), "user.rsrc", value, sizeof value), 4);
    EXPECT_STREQ(value, "fork");
}

// A destination file system that keeps no extended attributes at all (a FAT
// drive, say) must not fail every backup: the data arrives, one line says
// the attributes could not be kept.
TEST(Ditto, DestinationWithoutExtendedAttributesStillGetsTheData)
{
    TempFolder temp;
    if (!supportsUserXattrs(temp.path()))
        GTEST_SKIP() << "no user extended attributes in " << temp.path();
    makeFolder(temp / "src");
    makeFolder(temp / "src/sub");
    makeFile(temp / "src/a", "alpha");
    makeFile(temp / "src/sub/b", "beta");
    ASSERT_EQ(setxattr((temp / "src/a").c_str(), "user.one", "1", 1, 0), 0);
    ASSERT_EQ(setxattr((temp / "src/sub/b").c_str(), "user.two", "2", 1, 0), 0);
    makeFolder(temp / "mnt");
    // ramfs keeps no user attributes; mounting needs privileges we may lack.
    if (::geteuid() != 0 || runProcess({"/bin/mount", "-t", "ramfs", "none", temp / "mnt"}).exitCode != 0)
        GTEST_SKIP() << "cannot mount a file system without extended attributes here";
    const auto result = runProcess({kDitto, "-rsrc", temp / "src", temp / "mnt/copy"});
    EXPECT_EQ(readBytes(temp / "mnt/copy/a"), "alpha");
    EXPECT_EQ(readBytes(temp / "mnt/copy/sub/b"), "beta");
    runProcess({"/bin/umount", temp / "mnt"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_NE(result.err.find("does not keep extended attributes"), std::string::npos) << result.err;
}

TEST(Ditto, MergesAndReplacesWithoutWritingThroughWhatIsThere)
{
    TempFolder temp;
    const SampleTree tree = buildSampleTree(temp);
    const std::string dst = temp / "dst";
    const std::string victim = temp / "victim.txt";
    const std::string victimFolder = temp / "victim folder";
    makeFile(victim, "must stay");
    makeFolder(victimFolder);

    makeFolder(dst, 0500);
    makeFile(dst + "/kept by the user.txt", "mine");
    makeFile(dst + "/readonly.txt", "older, read-only", 0444);
    EXPECT_EQ(symlink(victim.c_str(), (dst + "/with blank.txt").c_str()), 0);
    EXPECT_EQ(link(victim.c_str(), (dst + "/script.sh").c_str()), 0);
    EXPECT_EQ(symlink(victimFolder.c_str(), (dst + "/Mail").c_str()), 0);
    makeFolder(dst + "/read only folder", 0555);

    CompareOptions options;
    options.xattrs = tree.xattrs;
    options.extraInSecondOk = true;
    for (int round = 1; round <= 2; ++round) {
        const ProcessResult run = runProcess({kDitto, "-rsrc", tree.root, dst});
        EXPECT_EQ(run.exitCode, 0) << "round " << round << ": " << run.err;
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(describe(compareTrees(tree.root, dst, options)), "") << "round " << round;
    }
    EXPECT_EQ(readBytes(dst + "/kept by the user.txt"), "mine");
    EXPECT_EQ(readBytes(victim), "must stay");
    EXPECT_TRUE(fs::is_empty(victimFolder));
    struct stat st;
    ASSERT_EQ(lstat((dst + "/Mail").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    // No half-built entries left behind.
    for (const auto &entry : fs::recursive_directory_iterator(dst))
        EXPECT_EQ(entry.path().filename().native().rfind(".ditto-", 0), std::string::npos)
            << entry.path();
}

TEST(Ditto, ReportsWhatItCannotReadAndCopiesTheRest)
{
    TempFolder temp;
    // Root reads everything, so as root the copy runs as an unprivileged user.
    const bool asNobody = geteuid() == 0;
    std::optional<uid_t> user;
    if (asNobody)
        user = kNobody;
    chmod(temp.path().c_str(), 0755);
    const std::string src = temp / "src";
    makeFolder(src);
    makeFolder(src + "/sub");
    makeFile(src + "/sub/fine.txt", "fine");
    makeFile(src + "/secret.txt", "secret", 0);
    makeFile(src + "/bad\nname", "secret too", 0);
    makeFolder(src + "/locked");
    makeFile(src + "/locked/inside.txt", "hidden");
    chmod((src + "/locked").c_str(), 0);
    makeFile(src + "/z last.txt", "last");
    makeFolder(temp / "out", 0755);
    if (asNobody) {
        for (const auto &entry : fs::recursive_directory_iterator(temp.path()))
            lchown(entry.path().c_str(), kNobody, kNobody);
        lchown(temp.path().c_str(), kNobody, kNobody);
    }
    const std::string dst = temp / "out/copy";

    const ProcessResult run = runProcess({kDitto, "-rsrc", src, dst}, user);
    EXPECT_TRUE(run.exited);
    EXPECT_NE(run.exitCode, 0);
    const auto lines = linesOf(run.err);
    const std::set<std::string> got(lines.begin(), lines.end());
    const std::set<std::string> expected{
        "ditto: " + src + "/secret.txt: Permission denied",
        "ditto: " + src + "/bad\\nname: Permission denied",
        "ditto: " + src + "/locked: Permission denied",
    };
    EXPECT_EQ(lines.size(), 3u) << run.err;
    EXPECT_EQ(got, expected) << run.err;

    EXPECT_EQ(readBytes(dst + "/sub/fine.txt"), "fine");
    EXPECT_EQ(readBytes(dst + "/z last.txt"), "last");
    EXPECT_FALSE(fs::exists(fs::symlink_status(dst + "/secret.txt")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(dst + "/bad\nname")));
}

TEST(Ditto, PutsAFileSourceIntoAFolderOrAtTheNamedPath)
{
    TempFolder temp;
    makeFile(temp / "com.example.mail.plist", "<plist/>", 0640);
    const timespec times[2] = {{1000, 0}, {1300000000, 123456789}};
    utimensat(AT_FDCWD, (temp / "com.example.mail.plist").c_str(), times, 0);
    makeFolder(temp / "dest");
    makeFolder(temp / "elsewhere");
    makeFile(temp / "victim", "must stay");

    EXPECT_EQ(runProcess({kDitto, "-rsrc", temp / "com.example.mail.plist", temp / "dest"}).exitCode, 0);
    struct stat st;
    ASSERT_EQ(stat((temp / "dest/com.example.mail.plist").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1300000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
    EXPECT_EQ(readBytes(temp / "dest/com.example.mail.plist"), "<plist/>");

    // Not a folder: DST is the file itself, its missing folders made.
    EXPECT_EQ(runProcess({kDitto, temp / "com.example.mail.plist", temp / "new/sub/renamed"}).exitCode, 0);
    EXPECT_EQ(readBytes(temp / "new/sub/renamed"), "<plist/>");

    // A link to a file as DST is replaced, never written through; a link to
    // a folder, named by the caller, is that folder.
    EXPECT_EQ(symlink((temp / "victim").c_str(), (temp / "dest/link").c_str()), 0);
    EXPECT_EQ(runProcess({kDitto, temp / "com.example.mail.plist", temp / "dest/link"}).exitCode, 0);
    EXPECT_EQ(readBytes(temp / "victim"), "must stay");
    ASSERT_EQ(lstat((temp / "dest/link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(symlink((temp / "elsewhere").c_str(), (temp / "folder link").c_str()), 0);
    EXPECT_EQ(runProcess({kDitto, temp / "com.example.mail.plist", temp / "folder link"}).exitCode, 0);
    EXPECT_EQ(readBytes(temp / "elsewhere/com.example.mail.plist"), "<plist/>");
}

TEST(Ditto, DestinationInsideTheSourceIsNotCopiedIntoItself)
{
    TempFolder temp;
    const std::string src = temp / "src";
    makeFolder(src);
    makeFolder(src + "/a");
    makeFile(src + "/a/f", "f");
    for (int round = 0; round < 2; ++round) {
        const ProcessResult run = runProcess({kDitto, "-rsrc", src, src + "/backup"}, std::nullopt, 30);
        ASSERT_FALSE(run.timedOut);
        EXPECT_EQ(run.exitCode, 0) << run.err;
    }
    EXPECT_EQ(readBytes(src + "/backup/a/f"), "f");
    EXPECT_FALSE(fs::exists(src + "/backup/backup"));
}

TEST(Ditto, RefusesWhatCannotBeDoneAndSaysSo)
{
    TempFolder temp;
    makeFolder(temp / "src");
    makeFolder(temp / "src/empty folder");
    makeFile(temp / "src/f", "f");
    makeFile(temp / "a file", "user data");
    makeFolder(temp / "dst");
    makeFile(temp / "dst/empty folder", "a file of the user's where a folder comes");

    ProcessResult run = runProcess({kDitto, "-rsrc", temp / "missing", temp / "never"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "ditto: " + (temp / "missing") + ": No such file or directory\n");
    EXPECT_FALSE(fs::exists(temp / "never"));

    run = runProcess({kDitto, temp / "src", temp / "a file"});
    EXPECT_NE(run.exitCode, 0);
    EXPECT_EQ(linesOf(run.err).size(), 1u) << run.err;
    EXPECT_EQ(readBytes(temp / "a file"), "user data");

    run = runProcess({kDitto, temp / "src", temp / "dst"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "ditto: " + (temp / "dst/empty folder") + ": File exists\n");
    EXPECT_EQ(readBytes(temp / "dst/empty folder"), "a file of the user's where a folder comes");
    EXPECT_EQ(readBytes(temp / "dst/f"), "f");

    run = runProcess({kDitto, temp / "src", temp / "src/."});
    EXPECT_NE(run.exitCode, 0);

    for (const auto &args : std::vector<std::vector<std::string>>{
             {kDitto}, {kDitto, temp / "src"}, {kDitto, "-x", temp / "src", temp / "d"},
             {kDitto, "", temp / "d"}}) {
        run = runProcess(args);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(linesOf(run.err).size(), 1u);
    }
}

TEST(Ditto, PrintsEveryPathOnOneLine)
{
    using cv::compat::printablePath;
    EXPECT_EQ(printablePath("/Users/a b/Mail (old)/é"), "/Users/a b/Mail (old)/é");
    EXPECT_EQ(printablePath("a\nBackup completed successfully."), "a\\nBackup completed successfully.");
    EXPECT_EQ(printablePath("tab\there\\"), "tab\\there\\\\");
    EXPECT_EQ(printablePath(std::string("x\xff\xc3", 3)), "x\\377\\303");
    EXPECT_EQ(printablePath(std::string("\x1b[2J\r", 5)), "\\033[2J\\015");
}
