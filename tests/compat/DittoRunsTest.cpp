// ditto across runs: ended part-way, into a folder it does not own, onto
// files shared with names outside, and keeping what each run replaced.
#include "DittoTestTree.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <functional>
#include <thread>

extern char **environ;

using namespace cv::test;

namespace {

// A ditto in the background, held just before it renames a finished file
// over `pauseAt`; it writes `marker` once it waits there.
pid_t startHeld(const std::vector<std::string> &args, const std::string &pauseAt, const std::string &marker,
                const std::vector<std::string> &environment = {})
{
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e)
        env.emplace_back(*e);
    env.push_back(std::string("LD_PRELOAD=") + CV_PAUSE_RENAME);
    env.push_back("CV_PAUSE_RENAME_TO=" + pauseAt);
    env.push_back("CV_PAUSE_MARKER=" + marker);
    env.insert(env.end(), environment.begin(), environment.end());
    std::vector<char *> argv, envp;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    for (const std::string &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()), 0);
    return pid;
}

bool waitForFile(const std::string &path)
{
    for (int i = 0; i < 1500; ++i) {
        if (fs::exists(path))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

int endOf(pid_t pid)
{
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

std::vector<std::string> temporaries(const std::string &root)
{
    std::vector<std::string> found;
    for (const auto &entry : fs::recursive_directory_iterator(root))
        if (entry.path().filename().native().rfind(kTemp, 0) == 0)
            found.push_back(entry.path().native());
    return found;
}

// A regular file by its bytes, a link by its target, a folder as such.
std::string whatIs(const std::string &path)
{
    const struct stat st = statOf(path);
    if (S_ISLNK(st.st_mode))
        return "-> " + fs::read_symlink(path).native();
    return S_ISDIR(st.st_mode) ? "folder" : readBytes(path);
}

// The mailboxes a held copy works on: big.mbox, where it waits, among
// small ones.
const std::string kHeldNames[] = {"a", "b", "c", "big.mbox", "d"};

// Copies `src` to `dst`, then changes every mailbox in `src`; returns what
// big.mbox held at the copy.
std::string copiedThenChanged(const std::string &src, const std::string &dst)
{
    makeFolder(src);
    makeFolder(src + "/Mail");
    const std::string big = pseudoRandom(8 << 20, 1);
    makeFile(src + "/Mail/big.mbox", big);
    for (const std::string &name : kHeldNames)
        if (name != "big.mbox")
            makeFile(src + "/Mail/" + name, "old " + name);
    EXPECT_EQ(runProcess({kDitto, "-rsrc", src, dst}).exitCode, 0);
    makeFile(src + "/Mail/big.mbox", pseudoRandom(8 << 20, 2));
    for (const std::string &name : kHeldNames)
        if (name != "big.mbox")
            makeFile(src + "/Mail/" + name, "new " + name);
    return big;
}

} // namespace

// Held just before it replaces a changed mailbox, the copy is ended by each
// signal a stop or a logout sends: what it wrote goes with it.
TEST(DittoRuns, AnEndedCopyLeavesNoTemporaryFile)
{
    TempFolder temp;
    const std::string src = temp / "src", dst = temp / "dst";
    const std::string big = copiedThenChanged(src, dst);
    int held = 0;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        const std::string marker = temp / ("held" + std::to_string(++held));
        const pid_t pid = startHeld({kDitto, "-rsrc", src, dst}, "big.mbox", marker);
        ASSERT_TRUE(waitForFile(marker));
        EXPECT_EQ(temporaries(dst).size(), 1u);
        kill(pid, signal);
        const int status = endOf(pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        EXPECT_EQ(temporaries(dst), std::vector<std::string>{});
        EXPECT_EQ(readBytes(dst + "/Mail/big.mbox"), big);
    }
}

// Killed outright it cannot clean up, but loses nothing: every mirror file
// it replaced is in its version folder, and the next run sweeps its
// leftover, though not that of a copy still running.
TEST(DittoRuns, AKilledCopyLosesNothingAndItsLeftoverIsSwept)
{
    TempFolder temp;
    const std::string src = temp / "src", dst = temp / "dst";
    copiedThenChanged(src, dst);
    ASSERT_EQ(runProcess({kDitto, "-rsrc", src, dst}).exitCode, 0);
    for (const std::string &name : kHeldNames)
        makeFile(src + "/Mail/" + name, "newer " + name);
    std::map<std::string, ino_t> before;
    for (const std::string &name : kHeldNames)
        before[name] = statOf(dst + "/Mail/" + name).st_ino;
    const std::string versions = dst + "/" + kVersions + "/2026-12-07-210000";
    fs::create_directories(versions);
    std::string marker = temp / "killed";
    pid_t pid = startHeld({kDitto, "-rsrc", src, dst}, "big.mbox", marker, {versionsSetting(versions)});
    ASSERT_TRUE(waitForFile(marker));
    kill(pid, SIGKILL);
    endOf(pid);
    const auto left = temporaries(dst);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(statOf(versions + "/Mail/big.mbox").st_ino, before["big.mbox"]) << "kept before the rename";
    for (const std::string &name : kHeldNames) {
        if (statOf(dst + "/Mail/" + name).st_ino != before[name]) {
            EXPECT_EQ(statOf(versions + "/Mail/" + name).st_ino, before[name]) << name;
        }
    }

    ProcessResult next = runProcess({kDitto, "-rsrc", src, dst});
    EXPECT_EQ(next.exitCode, 0);
    EXPECT_EQ(next.err, "ditto: " + left[0] + ": removed, an unfinished copy left by an earlier run\n");
    EXPECT_EQ(temporaries(dst), std::vector<std::string>{});
    EXPECT_EQ(readBytes(dst + "/Mail/big.mbox"), "newer big.mbox");

    makeFile(src + "/Mail/big.mbox", "newest big.mbox");
    marker = temp / "running";
    pid = startHeld({kDitto, "-rsrc", src, dst}, "big.mbox", marker);
    ASSERT_TRUE(waitForFile(marker));
    next = runProcess({kDitto, "-rsrc", src, dst});
    EXPECT_EQ(next.exitCode, 0);
    EXPECT_EQ(next.err, "");
    EXPECT_EQ(temporaries(dst).size(), 1u) << "a running copy's file is left alone";
    kill(pid, SIGTERM);
    endOf(pid);
    EXPECT_EQ(temporaries(dst), std::vector<std::string>{});
}

// What is inside mirrors the source; the folder itself keeps its owner and
// mode, even when the user may write into it but not change it.
TEST(DittoRuns, TheChosenFolderKeepsItsOwnerAndMode)
{
    struct Case {
        const char *what;
        mode_t mode;
        bool sharedByAGroup;
    };
    for (const Case &c : {Case{"the user's own", 0755, false}, Case{"read-only", 0555, false},
                          Case{"shared by a group, as a member", 02775, true}}) {
        SCOPED_TRACE(c.what);
        if (c.sharedByAGroup && geteuid() != 0) {
            std::printf("note: not root, so no folder of another owner: \"%s\" skipped\n", c.what);
            continue;
        }
        TempFolder temp;
        chmod(temp.path().c_str(), 0755);
        const std::string src = temp / "src", dst = temp / "chosen";
        makeFolder(src, 0700);
        makeFolder(src + "/Mail", 0700);
        makeFile(src + "/Mail/INBOX", "mail", 0600);
        makeFolder(dst, c.mode);
        std::vector<std::string> args{kDitto, "-rsrc", src, dst};
        if (c.sharedByAGroup) {
            constexpr gid_t kGroup = 100;
            for (const auto &entry : fs::recursive_directory_iterator(src))
                lchown(entry.path().c_str(), kNobody, kNobody);
            lchown(src.c_str(), kNobody, kNobody);
            ASSERT_EQ(chown(dst.c_str(), 0, kGroup), 0);
            ASSERT_EQ(chmod(dst.c_str(), c.mode), 0);
            args.insert(args.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                       "--groups=" + std::to_string(kGroup), "--"});
        }
        const struct stat before = statOf(dst);
        for (int round = 1; round <= 2; ++round) {
            const ProcessResult run = runProcess(args);
            EXPECT_EQ(run.exitCode, 0) << run.err;
            EXPECT_EQ(run.err, "");
        }
        const struct stat after = statOf(dst);
        EXPECT_EQ(after.st_uid, before.st_uid);
        EXPECT_EQ(after.st_gid, before.st_gid);
        EXPECT_EQ(after.st_mode & 07777, c.mode);
        EXPECT_EQ(readBytes(dst + "/Mail/INBOX"), "mail");
        EXPECT_EQ(statOf(dst + "/Mail").st_mode & 07777, 0700u);
    }
}

// A backup file that is also a name outside the backup (a hard link the
// user made) is replaced, never kept or changed in place: writing to the
// outside name must not change the backup.
TEST(DittoRuns, ABackupFileSharedWithANameOutsideIsReplaced)
{
    struct Case {
        const char *what;
        bool pairInTheSource;
        bool modeChanged;
    };
    for (const Case &c : {Case{"one name, unchanged", false, false}, Case{"one name, mode changed", false, true},
                          Case{"a pair, unchanged", true, false}, Case{"a pair, mode changed", true, true}}) {
        SCOPED_TRACE(c.what);
        TempFolder temp;
        const std::string src = temp / "src", dst = temp / "dst", outside = temp / "outside";
        makeFolder(src);
        makeFile(src + "/one", "mail");
        setTime(src + "/one", 1600000000);
        if (c.pairInTheSource) {
            ASSERT_EQ(link((src + "/one").c_str(), (src + "/two").c_str()), 0);
        }
        ASSERT_EQ(runProcess({kDitto, "-rsrc", src, dst}).exitCode, 0);
        ASSERT_EQ(link((dst + "/one").c_str(), outside.c_str()), 0);
        if (c.modeChanged)
            chmod((src + "/one").c_str(), 0600);

        EXPECT_EQ(runProcess({kDitto, "-rsrc", src, dst}).exitCode, 0);
        EXPECT_NE(statOf(dst + "/one").st_ino, statOf(outside).st_ino);
        EXPECT_EQ(statOf(outside).st_mode & 07777, 0644u);
        makeFile(outside, "written through the outside name");
        EXPECT_EQ(readBytes(dst + "/one"), "mail");
        EXPECT_EQ(statOf(dst + "/one").st_mode & 07777, c.modeChanged ? 0600u : 0644u);
        if (c.pairInTheSource) {
            EXPECT_EQ(statOf(dst + "/two").st_ino, statOf(dst + "/one").st_ino);
        }
    }
}

namespace {

struct VersionStep {
    const char *what;
    std::function<void()> change;
    std::map<std::string, std::string> kept; // relative path -> whatIs
    std::set<std::string> created;
};

// A mailbox changed between runs, its content, then its size, then its type.
std::vector<VersionStep> versionSteps(const std::string &src)
{
    const auto changed = [src](const std::string &relative, const std::string &content, time_t when) {
        makeFile(src + "/" + relative, content);
        setTime(src + "/" + relative, when);
    };
    return {
        {"the content, a link's target; a file, a folder added; one deleted",
         [=] {
             changed("Mail/INBOX", "FIRST STATE of the inbox", 1600000100);
             fs::remove(src + "/Mail/link");
             ASSERT_EQ(symlink("b", (src + "/Mail/link").c_str()), 0);
             changed("Mail/new.emlx", "new", 1600000100);
             makeFolder(src + "/Mail/New Folder");
             changed("Mail/New Folder/1.emlx", "in a new folder", 1600000100);
             fs::remove(src + "/gone.txt");
             makeFolder(src + "/" + kVersions); // never copied in
             changed(kVersions + "/intruder", "x", 1600000100);
         },
         {{"Mail/INBOX", "first state of the inbox"}, {"Mail/link", "-> a"}},
         {"Mail/new.emlx", "Mail/New Folder"}},
        {"the size",
         [=] { changed("Mail/INBOX", "the second state, longer than the first", 1600000200); },
         {{"Mail/INBOX", "FIRST STATE of the inbox"}},
         {}},
        {"the type: a file becomes a folder and a folder a file",
         [=] {
             fs::remove(src + "/Mail/INBOX");
             makeFolder(src + "/Mail/INBOX");
             changed("Mail/INBOX/1.emlx", "now a folder", 1600000300);
             fs::remove_all(src + "/Archive");
             changed("Archive", "now a file", 1600000300);
         },
         {{"Mail/INBOX", "the second state, longer than the first"},
          {"Archive", "folder"},
          {"Archive/old.mbox", "archived"}},
         {"Mail/INBOX/1.emlx"}},
        {"nothing", [] {}, {}, {}},
    };
}

// What a run's folder holds besides its records; folders only where kept
// whole, not those on the way to what was kept.
std::map<std::string, std::string> keptIn(const std::string &versions, const VersionStep &step)
{
    std::map<std::string, std::string> kept;
    for (const auto &entry : fs::recursive_directory_iterator(versions)) {
        const std::string relative = entry.path().native().substr(versions.size() + 1);
        if (relative == cv::format::kMetadataRecord || relative == cv::format::kCreatedRecord
            || (!step.kept.count(relative) && entry.is_directory()))
            continue;
        kept[relative] = whatIs(entry.path());
    }
    return kept;
}

std::set<std::string> createdIn(const std::string &versions)
{
    std::set<std::string> created;
    const std::string path = versions + "/" + cv::format::kCreatedRecord;
    const std::string record = fs::exists(path) ? readBytes(path) : std::string();
    for (size_t pos = 0, end; pos < record.size(); pos = end + 1) {
        end = record.find('\0', pos);
        EXPECT_NE(end, std::string::npos) << "every entry ends with a NUL";
        if (end == std::string::npos)
            break;
        created.insert(record.substr(pos, end - pos));
    }
    return created;
}

// The mirror without the versions and what a run moved aside.
auto mirrorOnly(const std::string &root)
{
    auto tree = describeTree(root, false);
    std::erase_if(tree, [](const auto &entry) {
        return entry.first.rfind(kVersions, 0) == 0 || entry.first.find(".replaced-") != std::string::npos
            || entry.first.empty();
    });
    return tree;
}

} // namespace

// Runs with a mailbox changed between them: each run keeps, in its own
// version folder, exactly what it replaced (the mirror's old file itself,
// not a copy) and lists what it created; the mirror is what a run without
// versions makes.
TEST(DittoRuns, EachRunKeepsWhatItReplacedAndListsWhatItCreated)
{
    TempFolder temp;
    const std::string src = temp / "src", dst = temp / "dst", plain = temp / "plain";
    for (const char *folder : {"", "/Mail", "/Archive"})
        makeFolder(src + folder);
    makeFile(src + "/Mail/INBOX", "first state of the inbox");
    makeFile(src + "/Mail/Drafts", "drafts stay as they are");
    makeFile(src + "/Archive/old.mbox", "archived");
    makeFile(src + "/gone.txt", "deleted in the source later");
    ASSERT_EQ(symlink("a", (src + "/Mail/link").c_str()), 0);
    for (const auto &entry : fs::recursive_directory_iterator(src))
        setTime(entry.path(), 1600000000);

    ASSERT_EQ(runProcess({kDitto, "-rsrc", src, dst}).exitCode, 0);
    ASSERT_EQ(runProcess({kDitto, "-rsrc", src, plain}).exitCode, 0);
    int stamp = 0;
    for (const VersionStep &step : versionSteps(src)) {
        SCOPED_TRACE(step.what);
        step.change();
        std::map<std::string, ino_t> mirrorBefore;
        for (const auto &entry : fs::recursive_directory_iterator(dst))
            mirrorBefore[entry.path().native().substr(dst.size() + 1)] = statOf(entry.path()).st_ino;
        const std::string versions = dst + "/" + kVersions + "/2026-12-07-21000" + std::to_string(++stamp);
        fs::create_directories(versions); // by the engine, before the copy
        const ProcessResult run = runProcess({kDitto, "-rsrc", src, dst}, std::nullopt, 60,
                                             {versionsSetting(versions)});
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(runProcess({kDitto, "-rsrc", src, plain}).exitCode, 0);

        if (step.kept.empty() && step.created.empty()) {
            EXPECT_TRUE(fs::is_empty(versions)) << "a run that kept and created nothing leaves its folder empty";
            continue;
        }
        EXPECT_EQ(keptIn(versions, step), step.kept);
        for (const auto &[relative, what] : step.kept) {
            if (what != "folder") {
                EXPECT_EQ(statOf(versions + "/" + relative).st_ino, mirrorBefore[relative]) << relative;
            }
        }
        EXPECT_EQ(createdIn(versions), step.created);
        EXPECT_NE(run.err.find(kVersions + ": not copied"), std::string::npos) << run.err;
        expectSameTree(src + "/Mail", dst + "/Mail", false);
        EXPECT_EQ(whatIs(dst + "/Archive"), whatIs(src + "/Archive"));
        EXPECT_EQ(readBytes(dst + "/gone.txt"), "deleted in the source later");
        EXPECT_FALSE(fs::exists(versions + "/gone.txt"));
        // Without versions, the mirror is the same.
        EXPECT_EQ(mirrorOnly(dst), mirrorOnly(plain));
    }
    EXPECT_FALSE(fs::exists(dst + "/" + kVersions + "/intruder"));
}

// kill -9 (or a power cut) while a new mailbox is copied, or while a version
// is copied where hard links are refused: nothing partial ever stands under
// a real name, in the mirror or in the run's folder, and the next run goes on.
TEST(DittoRuns, NothingPartialStandsUnderARealNameAfterKill9)
{
    TempFolder temp;
    const std::string src = temp / "src", dst = temp / "dst";
    makeFolder(src);
    makeFolder(src + "/Mail");
    makeFile(src + "/Mail/INBOX", "old inbox");
    setTime(src + "/Mail/INBOX", 1600000000);
    ASSERT_EQ(runProcess({kDitto, src, dst}).exitCode, 0);
    const std::string inbox = pseudoRandom(4 << 20, 4), added = pseudoRandom(4 << 20, 3);

    struct Case { const char *what; std::function<void()> change; std::string pauseAt, env, folder; };
    const Case cases[] = {
        {"a new file", [&] { makeFile(src + "/Mail/new.mbox", added); }, "new.mbox", "", "Mail"},
        {"a version copied where links are refused", [&] { makeFile(src + "/Mail/INBOX", inbox); }, "INBOX",
         "CV_REFUSE_LINKS=1", kVersions + "/r2/Mail"},
    };
    int run = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        c.change();
        const std::string versions = dst + "/" + kVersions + "/r" + std::to_string(++run);
        fs::create_directories(versions);
        std::vector<std::string> env{versionsSetting(versions)};
        if (!c.env.empty())
            env.push_back(c.env);
        const std::string marker = temp / ("held" + std::to_string(run));
        const pid_t pid = startHeld({kDitto, src, dst}, c.pauseAt, marker, env);
        ASSERT_TRUE(waitForFile(marker));
        kill(pid, SIGKILL);
        endOf(pid);
        EXPECT_FALSE(fs::exists(run == 1 ? dst + "/Mail/new.mbox" : versions + "/Mail/INBOX"));
        EXPECT_EQ(readBytes(dst + "/Mail/INBOX"), "old inbox");
        const auto left = temporaries(dst + "/" + c.folder);
        ASSERT_EQ(left.size(), 1u);
        EXPECT_EQ(fs::path(left[0]).parent_path(), fs::path(dst + "/" + c.folder));
        // The second run may reach the new mailbox before INBOX (directory order) and place it whole.
        if (readBytes(versions + "/" + cv::format::kCreatedRecord).find("new.mbox") != std::string::npos) {
            EXPECT_EQ(readBytes(dst + "/Mail/new.mbox"), added) << "listed only once complete";
        }
    }
    // The next run (links still refused) keeps a whole copy and completes.
    const std::string versions = dst + "/" + kVersions + "/r3";
    fs::create_directories(versions);
    const ProcessResult next = runProcess({kDitto, src, dst}, std::nullopt, 60,
                                          {"LD_PRELOAD=" + std::string(CV_PAUSE_RENAME), "CV_REFUSE_LINKS=1",
                                           versionsSetting(versions)});
    EXPECT_EQ(next.exitCode, 0) << next.err;
    EXPECT_EQ(readBytes(versions + "/Mail/INBOX"), "old inbox");
    EXPECT_EQ(statOf(versions + "/Mail/INBOX").st_mtime, 1600000000);
    EXPECT_TRUE(readBytes(dst + "/Mail/INBOX") == inbox && readBytes(dst + "/Mail/new.mbox") == added);
    EXPECT_EQ(temporaries(dst + "/Mail"), std::vector<std::string>{}); // the mirror's swept by the copy
}

// The engine makes each run's folder; a copy never makes one, never takes an
// entry another run kept for its own, and then replaces nothing.
TEST(DittoRuns, WritesOnlyIntoTheVersionsFolderItWasGivenAsItFindsIt)
{
    struct Case { const char *what; bool made; bool foreignEntry; };
    const Case cases[] = {
        {"missing", false, false},
        {"holding another entry at that path", true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder temp;
        const std::string src = temp / "src", dst = temp / "dst", versions = dst + "/" + kVersions + "/run";
        makeFolder(src);
        makeFile(src + "/INBOX", "first");
        ASSERT_EQ(runProcess({kDitto, src, dst}).exitCode, 0);
        makeFile(src + "/INBOX", "second, longer");
        if (c.made)
            fs::create_directories(versions);
        if (c.foreignEntry)
            makeFile(versions + "/INBOX", "kept by another run");
        const ProcessResult run = runProcess({kDitto, src, dst}, std::nullopt, 60, {versionsSetting(versions)});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_NE(run.err.find(c.made ? "File exists" : "No such file or directory"), std::string::npos) << run.err;
        EXPECT_EQ(readBytes(dst + "/INBOX"), "first");
        EXPECT_EQ(fs::exists(versions), c.made);
        if (c.foreignEntry) {
            EXPECT_EQ(readBytes(versions + "/INBOX"), "kept by another run");
        }
    }
}

// Only the mode and owner of a mailbox change, and a folder's content: the
// run keeps their metadata as it was, once, without copying any data.
TEST(DittoRuns, AMetadataOnlyChangeIsRecordedNotCopied)
{
    TempFolder temp;
    const std::string src = temp / "src", dst = temp / "dst";
    makeFolder(src);
    makeFolder(src + "/Mail");
    makeFile(src + "/Mail/INBOX", "inbox", 0644);
    makeFile(src + "/Mail/Drafts", "drafts", 0600);
    setTime(src + "/Mail/INBOX", 1600000000);
    setTime(src + "/Mail/Drafts", 1600000000);
    setTime(src + "/Mail", 1600000000, 5);
    ASSERT_EQ(runProcess({kDitto, src, dst}).exitCode, 0);
    const struct stat inbox = statOf(dst + "/Mail/INBOX"), mail = statOf(dst + "/Mail");
    const auto record = [](const struct stat &st, const std::string &path) {
        char fields[128];
        std::snprintf(fields, sizeof fields, "%o %u %u %lld.%09ld %lld.%09ld ", unsigned(st.st_mode & 07777),
                      unsigned(st.st_uid), unsigned(st.st_gid), (long long)st.st_atim.tv_sec, st.st_atim.tv_nsec,
                      (long long)st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
        return fields + path + std::string(1, '\0');
    };
    ASSERT_EQ(chmod((src + "/Mail/INBOX").c_str(), 0600), 0);
    ASSERT_EQ(chown((src + "/Mail/INBOX").c_str(), kNobody, kNobody), 0);
    makeFile(src + "/Mail/Sent", "sent");
    setTime(src + "/Mail/Sent", 1600000000); // older than this second: proven unchanged at the next run

    for (const char *stamp : {"r1", "r2"}) {
        const std::string versions = dst + "/" + kVersions + "/" + stamp;
        fs::create_directories(versions);
        const ProcessResult run = runProcess({kDitto, src, dst}, std::nullopt, 60, {versionsSetting(versions)});
        EXPECT_EQ(run.exitCode, 0) << run.err;
        if (std::string(stamp) == "r1") {
            EXPECT_EQ(readBytes(versions + "/" + cv::format::kMetadataRecord), record(mail, "Mail") + record(inbox, "Mail/INBOX"));
            EXPECT_FALSE(fs::exists(versions + "/Mail/INBOX"));
        } else {
            EXPECT_TRUE(fs::is_empty(versions)) << "nothing changed, nothing recorded";
        }
        EXPECT_EQ(statOf(dst + "/Mail/INBOX").st_ino, inbox.st_ino) << "changed in place";
        expectSameTree(src, dst, false, true);
    }
}
