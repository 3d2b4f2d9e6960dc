// cv_own_processes COMMAND [ARG...]
//
// Runs a test program with a process table of its own: a new PID namespace
// with its own /proc. The backup script counts mail programs with `ps`, and
// our osascript quits them by name, so a test that saw another test's
// stand-in "thunderbird" (or any command line holding "Thunderbird") would
// wait for it to quit, or signal it. This program is the namespace's first
// process: it reaps every orphan (as init does) and ends with the command's
// status, which ends whatever the command left running.
//
// As root it needs nothing more; otherwise a user namespace maps the same
// user id, so files and crontabs still belong to the same user.
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

// Tells the command that its process table is its own (see TestMain.cpp).
const char *const kMark = "CV_OWN_PROCESS_TABLE";

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "cv_own_processes: %s: %s\n", what, std::strerror(errno));
    _exit(125);
}

bool writeText(const char *path, const std::string &text)
{
    std::ofstream file(path);
    file << text << std::flush; // the kernel takes a map in one write
    return bool(file);
}

void enterNamespaces()
{
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    const int flags = CLONE_NEWPID | CLONE_NEWNS | (uid == 0 ? 0 : CLONE_NEWUSER);
    if (unshare(flags) != 0)
        fail("unshare");
    if (uid != 0
        && !(writeText("/proc/self/setgroups", "deny")
             && writeText("/proc/self/uid_map", std::to_string(uid) + ' ' + std::to_string(uid) + " 1")
             && writeText("/proc/self/gid_map", std::to_string(gid) + ' ' + std::to_string(gid) + " 1")))
        fail("user namespace map");
}

// Waits for `child`, reaping every other process that ends meanwhile, and
// ends with its status. An init ignores the signals it has no handler for,
// so SIGTERM, SIGINT and SIGHUP only interrupt the wait (EINTR) and are
// passed on, so that the test can end itself.
[[noreturn]] void endWith(pid_t child)
{
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction forward = {};
        forward.sa_handler = [](int) {};
        sigaction(sig, &forward, nullptr);
    }
    for (;;) {
        int wstatus = 0;
        const pid_t ended = wait(&wstatus);
        if (ended == child)
            _exit(WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus));
        if (ended < 0 && errno == EINTR)
            kill(child, SIGTERM);
        else if (ended < 0)
            _exit(125);
    }
}

// PID 1 of the new namespace: a /proc of its own, the command, then reaping.
[[noreturn]] void runAsInit(char **command)
{
    // Killed outright with the program outside (a test timeout), the whole
    // namespace goes with it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
        || mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
        fail("mount /proc");
    const pid_t child = fork();
    if (child < 0)
        fail("fork");
    if (child == 0) {
        setenv(kMark, "1", 1);
        execvp(command[0], command);
        fail(command[0]);
    }
    endWith(child);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: cv_own_processes COMMAND [ARG...]\n");
        return 125;
    }
    enterNamespaces();
    const pid_t init = fork();
    if (init < 0)
        fail("fork");
    if (init == 0)
        runAsInit(argv + 1);
    endWith(init); // signals meant for the test reach it through its init
}
