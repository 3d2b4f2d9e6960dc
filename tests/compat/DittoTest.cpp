// The ditto command against trees built here.
#include "DittoTestTree.h"
#include "UniqueFd.h"

#include <regex>

using namespace cv::test;
namespace fs = std::filesystem;

// Into a new folder, then merged into one that holds the user's own entries,
// links and another name of a file outside in the way: nothing is written
// through them, and a repeat with nothing changed writes nothing at all.
TEST(Ditto, CopiesATreeFaithfullyMergesWithoutWritingThroughAndRepeatsWritingNothing)
{
    TempFolder temp;
    const SampleTree tree = buildSampleTree(temp);
    if (!tree.xattrs)
        std::printf("note: %s has no user extended attributes; not checked\n", temp.path().c_str());
    const ProcessResult run = runProcess({kDitto, "-rsrc", tree.root, temp / "backup/new/deeper"}, std::nullopt, 30);
    ASSERT_FALSE(run.timedOut) << "ditto must never wait on a pipe in the tree";
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");
    expectSameTree(tree.root, temp / "backup/new/deeper", tree.xattrs, false, true);
    EXPECT_EQ(readBytes(tree.outsideFile), "not part of the tree");

    const std::string dst = temp / "dst", victim = temp / "victim.txt", victimFolder = temp / "victim folder";
    makeFile(victim, "must stay");
    makeFolder(victimFolder);
    makeFolder(dst, 0500);
    makeFile(dst + "/kept by the user.txt", "mine");
    makeFile(dst + "/readonly.txt", "older, read-only", 0444);
    EXPECT_EQ(symlink(victim.c_str(), (dst + "/with blank.txt").c_str()), 0);
    EXPECT_EQ(link(victim.c_str(), (dst + "/script.sh").c_str()), 0);
    EXPECT_EQ(symlink(victimFolder.c_str(), (dst + "/Mail").c_str()), 0);
    makeFolder(dst + "/read only folder", 0555);
    std::map<std::string, std::pair<ino_t, long long>> before;
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const ProcessResult merge = runProcess({kDitto, "-rsrc", tree.root, dst});
        EXPECT_EQ(merge.exitCode, 0);
        EXPECT_EQ(merge.err, "");
        expectSameTree(tree.root, dst, tree.xattrs, true);
        auto now = identities(dst);
        if (geteuid() != 0) // only root writes into a read-only folder without opening it up first
            now.erase("/read only folder");
        if (round == 2) {
            EXPECT_EQ(before, now) << "a repeat with nothing changed wrote something";
        }
        before = now;
    }
    EXPECT_EQ(readBytes(dst + "/kept by the user.txt"), "mine");
    EXPECT_EQ(readBytes(victim), "must stay");
    EXPECT_TRUE(fs::is_empty(victimFolder));
    // No half-built entries left behind.
    for (const auto &entry : fs::recursive_directory_iterator(dst))
        EXPECT_EQ(entry.path().filename().native().rfind(kTemp, 0), std::string::npos) << entry.path();

    if (tree.xattrs) { // attributes only with -rsrc
        const std::string plain = temp / "plain";
        EXPECT_EQ(runProcess({kDitto, tree.root, plain}).exitCode, 0);
        EXPECT_EQ(getxattr((plain + "/Mail/Inbox.mbox/Messages/1.emlx").c_str(), "user.rsrc", nullptr, 0), -1);
        EXPECT_EQ(readBytes(plain + "/Mail/Inbox.mbox/Messages/1.emlx"), "From: a\nSubject: hello\n\nbody\n");
    }
}

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
    EXPECT_EQ(linesOf(result.err).size(), 1u) << result.err;
    EXPECT_NE(result.err.find("does not keep extended attributes"), std::string::npos) << result.err;
}

TEST(Ditto, ReportsWhatItCannotReadAndCopiesTheRest)
{
    TempFolder temp;
    // Root reads everything, so as root the copy runs as an unprivileged user.
    std::optional<uid_t> user;
    if (geteuid() == 0)
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
    if (user) {
        for (const auto &entry : fs::recursive_directory_iterator(temp.path()))
            lchown(entry.path().c_str(), kNobody, kNobody);
        lchown(temp.path().c_str(), kNobody, kNobody);
    }
    const std::string dst = temp / "out/copy";

    const ProcessResult run = runProcess({kDitto, "-rsrc", src, dst}, user);
    EXPECT_EQ(run.exitCode, 1);
    const auto lines = linesOf(run.err);
    EXPECT_EQ(lines.size(), 3u) << run.err;
    EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()),
              (std::set<std::string>{"ditto: " + src + "/secret.txt: Permission denied",
                                     "ditto: " + src + "/bad\\nname: Permission denied",
                                     "ditto: " + src + "/locked: Permission denied"}));
    EXPECT_EQ(readBytes(dst + "/sub/fine.txt"), "fine");
    EXPECT_EQ(readBytes(dst + "/z last.txt"), "last");
    EXPECT_FALSE(fs::exists(fs::symlink_status(dst + "/secret.txt")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(dst + "/bad\nname")));
}

TEST(Ditto, PutsAFileSourceIntoAFolderOrAtTheNamedPath)
{
    TempFolder temp;
    const std::string file = temp / "com.example.mail.plist";
    makeFile(file, "<plist/>", 0640);
    setTime(file, 1300000000, 123456789);
    makeFolder(temp / "dest");
    makeFolder(temp / "elsewhere");
    makeFile(temp / "victim", "must stay");

    EXPECT_EQ(runProcess({kDitto, "-rsrc", file, temp / "dest"}).exitCode, 0);
    const struct stat st = statOf(temp / "dest/com.example.mail.plist");
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1300000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
    EXPECT_EQ(readBytes(temp / "dest/com.example.mail.plist"), "<plist/>");

    // Not a folder: DST is the file itself, its missing folders made.
    EXPECT_EQ(runProcess({kDitto, file, temp / "new/sub/renamed"}).exitCode, 0);
    EXPECT_EQ(readBytes(temp / "new/sub/renamed"), "<plist/>");

    // A link to a file as DST is replaced, never written through; a link to
    // a folder, named by the caller, is that folder.
    EXPECT_EQ(symlink((temp / "victim").c_str(), (temp / "dest/link").c_str()), 0);
    EXPECT_EQ(runProcess({kDitto, file, temp / "dest/link"}).exitCode, 0);
    EXPECT_EQ(readBytes(temp / "victim"), "must stay");
    EXPECT_TRUE(S_ISREG(statOf(temp / "dest/link").st_mode));
    EXPECT_EQ(symlink((temp / "elsewhere").c_str(), (temp / "folder link").c_str()), 0);
    EXPECT_EQ(runProcess({kDitto, file, temp / "folder link"}).exitCode, 0);
    EXPECT_EQ(readBytes(temp / "elsewhere/com.example.mail.plist"), "<plist/>");
}

TEST(Ditto, RefusesWhatCannotBeDoneAndNeverCopiesAFolderIntoItself)
{
    TempFolder temp;
    makeFolder(temp / "src");
    makeFolder(temp / "src/empty folder");
    makeFile(temp / "src/f", "f");
    makeFile(temp / "a file", "user data");

    ProcessResult run = runProcess({kDitto, "-rsrc", temp / "missing", temp / "never"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "ditto: " + (temp / "missing") + ": No such file or directory\n");
    EXPECT_FALSE(fs::exists(temp / "never"));

    run = runProcess({kDitto, temp / "src", temp / "a file"});
    EXPECT_NE(run.exitCode, 0);
    EXPECT_EQ(linesOf(run.err).size(), 1u) << run.err;
    EXPECT_EQ(readBytes(temp / "a file"), "user data");

    EXPECT_NE(runProcess({kDitto, temp / "src", temp / "src/."}).exitCode, 0);
    // A destination inside the source is made, and left out of later copies.
    for (int round = 0; round < 2; ++round)
        EXPECT_EQ(runProcess({kDitto, "-rsrc", temp / "src", temp / "src/backup"}, std::nullopt, 30).exitCode, 0);
    EXPECT_EQ(readBytes(temp / "src/backup/f"), "f");
    EXPECT_FALSE(fs::exists(temp / "src/backup/backup"));

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


TEST(Ditto, KeepsHolesAndHardLinkPairs)
{
    TempFolder temp;
    const std::string src = temp / "src";
    makeFolder(src);
    makeFolder(src + "/sub");
    // 8 MiB with two small islands of data and a hole at the end; and one
    // that is nothing but a hole.
    const std::string image = src + "/disk.img";
    {
        const cv::UniqueFd fd(open(image.c_str(), O_WRONLY | O_CREAT, 0644));
        ASSERT_TRUE(fd);
        const std::string island = pseudoRandom(8192, 5);
        EXPECT_EQ(pwrite(fd.get(), island.data(), island.size(), 0), ssize_t(island.size()));
        EXPECT_EQ(pwrite(fd.get(), island.data(), island.size(), 4 << 20), ssize_t(island.size()));
        EXPECT_EQ(ftruncate(fd.get(), 8 << 20), 0);
    }
    makeFile(src + "/empty.db", "");
    EXPECT_EQ(truncate((src + "/empty.db").c_str(), 4 << 20), 0);
    if (statOf(image).st_blocks * 512 >= (1 << 20))
        GTEST_SKIP() << "no holes in files under " << temp.path();
    makeFile(src + "/pair one", "two names, one file");
    ASSERT_EQ(link((src + "/pair one").c_str(), (src + "/sub/pair two").c_str()), 0);

    const std::string dst = temp / "dst";
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const ProcessResult run = runProcess({kDitto, "-rsrc", src, dst});
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.err, "");
        expectSameTree(src, dst, false);
        for (const char *name : {"/disk.img", "/empty.db"}) {
            EXPECT_EQ(statOf(dst + name).st_size, statOf(src + name).st_size) << name;
            EXPECT_LE(statOf(dst + name).st_blocks, statOf(src + name).st_blocks) << name;
        }
        const struct stat one = statOf(dst + "/pair one"), two = statOf(dst + "/sub/pair two");
        EXPECT_EQ(one.st_ino, two.st_ino);
        EXPECT_EQ(one.st_nlink, 2u);
        // Round two replaces both through their temporary names.
        setTime(image, 1500000000);
        makeFile(src + "/pair one", "changed through one name");
        setTime(src + "/pair one", 1500000000);
    }
    // A pair split in two in the destination since is one file again.
    fs::remove(dst + "/sub/pair two");
    fs::copy_file(dst + "/pair one", dst + "/sub/pair two");
    setTime(dst + "/sub/pair two", 1500000000);
    EXPECT_EQ(runProcess({kDitto, "-rsrc", src, dst}).exitCode, 0);
    EXPECT_EQ(statOf(dst + "/pair one").st_ino, statOf(dst + "/sub/pair two").st_ino);
}

TEST(Ditto, ATypeChangeMovesTheOldEntryAsideAndTheBackupGoesOn)
{
    TempFolder temp;
    const std::string src = temp / "src", dst = temp / "dst";
    makeFolder(src);
    makeFile(src + "/notes", "a file first");
    makeFolder(src + "/Archive");
    makeFile(src + "/Archive/old.mbox", "a folder first");
    ASSERT_EQ(runProcess({kDitto, "-rsrc", src, dst}).exitCode, 0);

    fs::remove_all(src + "/notes");
    fs::remove_all(src + "/Archive");
    makeFolder(src + "/notes");
    makeFile(src + "/notes/inside", "now a folder");
    makeFile(src + "/Archive", "now a file");
    const ProcessResult run = runProcess({kDitto, "-rsrc", src, dst});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(linesOf(run.err).size(), 2u) << run.err;
    expectSameTree(src, dst, false, true);
    std::map<std::string, std::string> aside;
    for (const auto &entry : fs::directory_iterator(dst)) {
        const std::string name = entry.path().filename();
        if (name.find(".replaced-") != std::string::npos)
            aside[name.substr(0, name.find(".replaced-"))] = name;
    }
    ASSERT_EQ(aside.size(), 2u);
    EXPECT_EQ(readBytes(dst + "/" + aside["notes"]), "a file first");
    EXPECT_EQ(readBytes(dst + "/" + aside["Archive"] + "/old.mbox"), "a folder first");
    EXPECT_NE(run.err.find("ditto: " + dst + "/notes: now a folder; the file that was here was moved to "
                           + aside["notes"] + "\n"), std::string::npos) << run.err;
    const std::regex stamped(R"(notes\.replaced-20\d{6}-\d{6})");
    EXPECT_TRUE(std::regex_match(aside["notes"], stamped)) << aside["notes"];

    // Back again within the same second: the first one aside stays whole.
    fs::remove_all(src + "/notes");
    makeFile(src + "/notes", "a file again");
    const time_t now = 1900000000;
    EXPECT_NE(dittoAt(src, dst, now), "");
    fs::remove_all(src + "/notes");
    makeFolder(src + "/notes");
    const std::string messages = dittoAt(src, dst, now);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", std::localtime(&now));
    EXPECT_EQ(readBytes(dst + "/notes.replaced-" + stamp + "-2"), "a file again") << messages;
    EXPECT_EQ(readBytes(dst + "/" + aside["notes"]), "a file first");
    EXPECT_EQ(runProcess({kDitto, "-rsrc", src, dst}).err, "");
}

TEST(Ditto, TheQuickCheckSeesSizeTimeAndMetadataButNotSameSizeAtTheOldTime)
{
    TempFolder temp;
    const std::string src = temp / "src", dst = temp / "dst";
    makeFolder(src);
    const std::vector<std::string> names{"mode", "blind", "size", "time", "future", "this second", "xattr"};
    for (const std::string &name : names) {
        makeFile(src + "/" + name, "original " + name);
        setTime(src + "/" + name, 1600000000, 123456789);
    }
    setTime(src + "/future", 4000000000);
    const bool xattrs = supportsUserXattrs(temp.path());
    EXPECT_TRUE(!xattrs || setxattr((src + "/xattr").c_str(), "user.gone", "1", 1, 0) == 0);
    EXPECT_EQ(symlink("target-a", (src + "/link").c_str()), 0);
    dittoAt(src, dst, 1700000000);
    const auto before = identities(dst);

    chmod((src + "/mode").c_str(), 0600);
    for (const std::string name : {"blind", "future", "this second"}) // same size
        makeFile(src + "/" + name, "ORIGINAL " + name);
    setTime(src + "/blind", 1600000000, 123456789);
    setTime(src + "/future", 4000000000);
    makeFile(src + "/size", "original size, longer");
    setTime(src + "/size", 1600000000, 123456789);
    makeFile(src + "/time", "ORIGINAL time");
    setTime(src + "/time", 1600000000, 123456790);
    // A source time in the clock's current second proves nothing either.
    setTime(src + "/this second", 1700000000, 123456789);
    setTime(dst + "/this second", 1700000000, 123456789);
    if (xattrs) {
        EXPECT_EQ(removexattr((src + "/xattr").c_str(), "user.gone"), 0);
        EXPECT_EQ(setxattr((src + "/xattr").c_str(), "user.new", "2", 1, 0), 0);
    }
    fs::remove(src + "/link"); // a new target of the same length
    EXPECT_EQ(symlink("target-b", (src + "/link").c_str()), 0);
    bool ok = false;
    EXPECT_EQ(dittoAt(src, dst, 1700000000, &ok), "");
    EXPECT_TRUE(ok);
    const auto after = identities(dst);

    // Only the mode: the same file, its data untouched.
    EXPECT_EQ(after.at("/mode").first, before.at("/mode").first);
    EXPECT_EQ(statOf(dst + "/mode").st_mode & 07777, 0600u);
    // The blind spot of the quick check: same size, set back to its time.
    EXPECT_EQ(after.at("/blind"), before.at("/blind"));
    EXPECT_EQ(readBytes(dst + "/blind"), "original blind");
    for (const std::string name : {"size", "time", "future", "this second"}) {
        EXPECT_NE(after.at("/" + name).first, before.at("/" + name).first) << name;
        EXPECT_EQ(readBytes(dst + "/" + name), readBytes(src + "/" + name)) << name;
    }
    EXPECT_EQ(fs::read_symlink(dst + "/link"), "target-b");
    if (xattrs) {
        EXPECT_EQ(after.at("/xattr").first, before.at("/xattr").first);
        EXPECT_EQ(getxattr((dst + "/xattr").c_str(), "user.gone", nullptr, 0), -1);
        EXPECT_EQ(getxattr((dst + "/xattr").c_str(), "user.new", nullptr, 0), 1);
    }
    if (geteuid() == 0) { // an owner change alone, too
        EXPECT_EQ(lchown((src + "/mode").c_str(), kNobody, kNobody), 0);
        dittoAt(src, dst, 1700000000);
        EXPECT_EQ(statOf(dst + "/mode").st_uid, kNobody);
        EXPECT_EQ(statOf(dst + "/mode").st_ino, before.at("/mode").first);
    }
}
