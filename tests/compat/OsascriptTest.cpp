// The osascript command: what it accepts, which processes it quits, and how
// it starts a program, against a small stand-in program.
#include "CompatTestSupport.h"
#include "Osascript.h"
#include "ProgramProcesses.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

using namespace cv::compat;
using namespace cv::processes;
using namespace cv::test;
namespace fs = std::filesystem;

namespace {

const std::string kOsascript = CV_OSASCRIPT;
const std::string kStandIn = CV_STANDIN_APP;

// A copy of a program under a name of the test's choosing.
std::string copyProgram(const std::string &program, const std::string &path)
{
    fs::copy_file(program, path, fs::copy_options::overwrite_existing);
    chmod(path.c_str(), 0755);
    return path;
}

pid_t start(const std::string &program)
{
    pid_t pid = -1;
    char *argv[] = {const_cast<char *>(program.c_str()), nullptr};
    posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ);
    return pid;
}

// Whether the process has ended (gone, or a zombie nobody reaped yet),
// looking at least once and then for up to `ms` milliseconds.
bool endedWithin(pid_t pid, int ms)
{
    const std::string stat = "/proc/" + std::to_string(pid) + "/stat";
    for (int waited = 0;; waited += 20) {
        std::ifstream in(stat);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t close = text.rfind(')');
        if (!in || close == std::string::npos || text.compare(close + 2, 1, "Z") == 0)
            return true;
        if (waited >= ms)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::vector<std::string> tell(const std::string &name, const std::string &verb,
                              const std::string &osascript = kOsascript)
{
    return {osascript, "-e", "tell application \"" + name + "\"", "-e", verb, "-e", "end tell"};
}

} // namespace

TEST(Osascript, AcceptsOnlyTheTellForm)
{
    std::string error;
    auto command = parseOsascriptArguments(
        {"-e", "tell application \"Microsoft Outlook\"", "-e", "quit", "-e", "end tell"}, error);
    ASSERT_TRUE(command);
    EXPECT_EQ(command->application, "Microsoft Outlook");
    EXPECT_EQ(command->verb, TellVerb::Quit);
    command = parseOsascriptArguments(
        {"-e", "  Tell  Application \"Mail\" ", "-e", "Activate", "-e", "END  tell"}, error);
    ASSERT_TRUE(command);
    EXPECT_EQ(command->verb, TellVerb::Activate);

    const std::vector<std::vector<std::string>> refused{
        {},
        {"-e", "tell application \"Mail\"", "-e", "quit"},
        {"-e", "tell application \"Mail\"", "-e", "delete every message", "-e", "end tell"},
        {"-e", "tell application \"/bin/sh\"", "-e", "activate", "-e", "end tell"},
        {"-e", "tell application \"Mail\" to quit", "-e", "quit", "-e", "end tell"},
        {"-e", "tell application \"Mail\"", "-e", "quit", "-e", "end tell now"},
        {"-x", "tell application \"Mail\"", "-e", "quit", "-e", "end tell"},
    };
    for (const auto &args : refused) {
        EXPECT_FALSE(parseOsascriptArguments(args, error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(Osascript, KnowsAProgramOnlyByItsExactNames)
{
    // Either name is enough: a script runs as its interpreter with argv[0]
    // kept. The user's mail program in a terminal is not the application
    // "Mail"; Thunderbird alone is installed in lower case here.
    const struct {
        ProcessNames names;
        const char *asked;
        bool match;
    } cases[] = {
        {{"Microsoft Outlook", "Microsoft Outlook"}, "Microsoft Outlook", true},
        {{"Microsoft Outlook", "Microsoft Outlook"}, "Outlook", false},
        {{"Eudora", "python3.11"}, "Eudora", true}, {{"", "Eudora"}, "Eudora", true},
        {{"mail", "mail"}, "Mail", false}, {{"Mailer", "Mailer"}, "Mail", false},
        {{"thunderbird", "thunderbird"}, "Thunderbird", true}, {{"thunderbird", "thunderbird"}, "THUNDERBIRD", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(matchesName(c.names, c.asked), c.match) << c.names.argv0 << " as " << c.asked;
}

TEST(Osascript, FindsTheProgramOnAbsolutePathFoldersOnly)
{
    TempFolder temp;
    fs::create_directories(temp / "bin");
    copyProgram(kStandIn, temp / "bin/Exact Name");
    copyProgram(kStandIn, temp / "bin/thunderbird");
    copyProgram(kStandIn, temp / "bin/mail");
    copyProgram(kStandIn, temp / "bin/notexec");
    chmod((temp / "bin/notexec").c_str(), 0644);
    const std::string path = "relative/bin::" + (temp / "bin") + ":/nonexistent";

    EXPECT_EQ(findProgram("Exact Name", path), temp / "bin/Exact Name");
    EXPECT_EQ(findProgram("Thunderbird", path), temp / "bin/thunderbird");
    EXPECT_EQ(findProgram("Mail", path), "") << "activate must not start the user's mail";
    EXPECT_EQ(findProgram("notexec", path), "");
    EXPECT_EQ(findProgram("../bin/thunderbird", path), "");
    const std::string here = fs::current_path().native();
    fs::current_path(temp / "bin");
    EXPECT_EQ(findProgram("thunderbird", "."), "");
    EXPECT_EQ(findProgram("thunderbird", ":"), "");
    fs::current_path(here);
}

// Every process of exactly that name is asked to quit and nothing else,
// the user's own lower-case `mail` above all when the application "Mail" is.
TEST(Osascript, QuitTerminatesEveryProcessOfThatNameAndNothingElse)
{
    TempFolder temp;
    const std::string tag = std::to_string(getpid());
    fs::create_directories(temp / "lower");
    fs::create_directories(temp / "upper");
    const std::string target = copyProgram(kStandIn, temp / ("Cv Standin Mailer " + tag));
    const pid_t first = start(target), second = start(target);
    const pid_t bystander = start(copyProgram(kStandIn, temp / ("Cv Standin Other " + tag)));
    const pid_t mail = start(copyProgram(kStandIn, temp / "lower/mail"));
    const pid_t application = start(copyProgram(kStandIn, temp / "upper/Mail"));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    // Only the 15 characters the kernel keeps, or another case: not its name.
    for (const std::string &name : {std::string("Cv Standin Mail"), "cv standin MAILER " + tag})
        EXPECT_EQ(runProcess(tell(name, "quit")).exitCode, 0);
    EXPECT_FALSE(endedWithin(first, 300));

    for (const std::string &name : {"Cv Standin Mailer " + tag, std::string("Mail")}) {
        const ProcessResult run = runProcess(tell(name, "quit"));
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.err, "");
    }
    for (const pid_t pid : {first, second, application}) {
        const bool ended = endedWithin(pid, 5000);
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(ended && WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << pid;
    }
    EXPECT_FALSE(endedWithin(bystander, 300)) << "a program of another name was quit";
    EXPECT_FALSE(endedWithin(mail, 300)) << "the user's mail was signalled";
    for (const pid_t pid : {bystander, mail}) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }

    // Nothing of that name runs any more: still a success.
    const ProcessResult run = runProcess(tell("Cv Standin Mailer " + tag, "quit"));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");
}

TEST(Osascript, SignalsOnlyAProcessThatStillIsTheProgram)
{
    TempFolder temp;
    const pid_t other = start(copyProgram(kStandIn, temp / "other"));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    int error = -1;
    EXPECT_EQ(terminateIfStillNamed(other, "Mail", getuid(), error), SignalOutcome::NotThatProgram);
    EXPECT_EQ(terminateIfStillNamed(other, "other", getuid() + 1, error), SignalOutcome::NotThatProgram);
    EXPECT_FALSE(endedWithin(other, 300));
    EXPECT_EQ(terminateIfStillNamed(other, "other", getuid(), error), SignalOutcome::Signalled);
    int status = 0;
    waitpid(other, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    // Reaped: its id names nothing of ours any more.
    EXPECT_EQ(terminateIfStillNamed(other, "other", getuid(), error), SignalOutcome::Gone);
}

TEST(Osascript, QuitNeverTerminatesItself)
{
    TempFolder temp;
    const std::string name = "cvOsaSelf" + std::to_string(getpid());
    EXPECT_EQ(runProcess(tell(name, "quit", copyProgram(kOsascript, temp / name))).exitCode, 0);
}

TEST(Osascript, ActivateStartsTheProgramDetachedFromOurPipes)
{
    TempFolder temp;
    const std::string name = "Cv Standin Mailer " + std::to_string(getpid());
    fs::create_directories(temp / "bin");
    copyProgram(kStandIn, temp / ("bin/" + name));
    const std::string report = temp / "report";
    const char *path = std::getenv("PATH");
    const std::vector<std::string> env{"PATH=" + (temp / "bin") + ":" + (path ? path : "/usr/bin:/bin"),
                                       "CV_STANDIN_REPORT=" + report};

    const ProcessResult run = runProcess(tell(name, "activate"), std::nullopt, 10, env);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");

    for (int i = 0; i < 250 && !fs::exists(report); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::ifstream in(report);
    int pid = 0, ppid = 0, sid = 0, extra = -1;
    std::string streams;
    ASSERT_TRUE(in >> pid >> ppid >> sid >> streams >> extra) << "the program did not start";
    EXPECT_NE(ppid, int(getpid()));
    EXPECT_NE(sid, int(getsid(0)));
    EXPECT_EQ(streams, "111") << "standard streams must be /dev/null";
    EXPECT_EQ(extra, 0) << "no other descriptor may be inherited";

    const ProcessResult quit = runProcess(tell(name, "quit"), std::nullopt, 10, env);
    EXPECT_EQ(quit.exitCode, 0);
    EXPECT_TRUE(endedWithin(pid, 5000));
    kill(pid, SIGKILL);
}

TEST(Osascript, SaysWhatItCannotDoOnOneLine)
{
    ProcessResult run = runProcess(tell("No Such Program Anywhere", "activate"), std::nullopt, 10,
                                   {"PATH=/usr/bin:/bin"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "osascript: No Such Program Anywhere: no such application on PATH\n");

    // What the parser refuses (see above) ends the command the same way.
    run = runProcess(tell("Mail", "launch"));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(linesOf(run.err).size(), 1u) << run.err;
}
