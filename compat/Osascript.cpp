#include "Osascript.h"

#include "Ditto.h" // printablePath

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace cv::compat {

namespace {

constexpr unsigned long kKernelThreadFlag = 0x00200000; // PF_KTHREAD

char lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

std::string lowered(std::string s)
{
    for (char &c : s)
        c = lower(c);
    return s;
}

std::string trimmed(const std::string &s)
{
    size_t b = 0;
    size_t e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return s.substr(b, e - b);
}

// Takes `word` (any case) and at least one blank after it unless `last`.
bool takeWord(std::string_view &s, std::string_view word, bool last)
{
    if (s.size() < word.size())
        return false;
    for (size_t i = 0; i < word.size(); ++i) {
        if (lower(s[i]) != word[i])
            return false;
    }
    s.remove_prefix(word.size());
    if (last)
        return s.empty();
    if (s.empty() || !std::isspace(static_cast<unsigned char>(s[0])))
        return false;
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s[0])))
        s.remove_prefix(1);
    return true;
}

std::string baseName(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A small file of a /proc folder in full; empty when it cannot be read.
std::string readSmallFile(int dir, const char *name)
{
    std::string out;
    const int fd = openat(dir, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return out;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        out.append(buffer, size_t(n));
        if (out.size() > 65536)
            break;
    }
    close(fd);
    return out;
}

bool realUidOf(const std::string &status, uid_t &uid)
{
    const size_t at = status.find("\nUid:");
    if (at == std::string::npos)
        return false;
    char *end = nullptr;
    const unsigned long value = std::strtoul(status.c_str() + at + 5, &end, 10);
    if (end == status.c_str() + at + 5)
        return false;
    uid = uid_t(value);
    return true;
}

// State and flags from /proc/PID/stat; the name in parentheses may itself
// hold blanks and parentheses, so parsing starts after the last ')'.
bool stateAndFlags(const std::string &stat, char &state, unsigned long &flags)
{
    const size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size())
        return false;
    const char *p = stat.c_str() + close + 2;
    state = *p;
    for (int field = 0; field < 6; ++field) {
        p = std::strchr(p, ' ');
        if (!p)
            return false;
        ++p;
    }
    flags = std::strtoul(p, nullptr, 10);
    return true;
}

// The names of the process whose /proc folder is open as `dir`.
ProcessNames namesIn(int dir)
{
    ProcessNames names;
    const std::string cmdline = readSmallFile(dir, "cmdline");
    names.argv0 = baseName(cmdline.substr(0, cmdline.find('\0')));
    char target[4096];
    const ssize_t n = readlinkat(dir, "exe", target, sizeof target - 1);
    if (n > 0) {
        std::string exe(target, size_t(n));
        const std::string deleted = " (deleted)";
        if (exe.size() > deleted.size() && exe.ends_with(deleted))
            exe.resize(exe.size() - deleted.size());
        names.exe = baseName(exe);
    }
    return names;
}

// Through syscall(): older C libraries have no wrappers for these two.
int pidfdOpen(pid_t pid)
{
    return int(syscall(SYS_pidfd_open, pid, 0));
}

int pidfdSendSignal(int pidfd, int signal)
{
    return int(syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

} // namespace

std::optional<TellCommand> parseOsascriptArguments(const std::vector<std::string> &args,
                                                   std::string &error)
{
    error = "only -e 'tell application \"NAME\"' -e quit|activate -e 'end tell' is understood";
    if (args.size() != 6 || args[0] != "-e" || args[2] != "-e" || args[4] != "-e")
        return std::nullopt;

    const std::string tell = trimmed(args[1]);
    std::string_view rest(tell);
    if (!takeWord(rest, "tell", false) || !takeWord(rest, "application", false))
        return std::nullopt;
    if (rest.size() < 3 || rest.front() != '"' || rest.back() != '"')
        return std::nullopt;
    const std::string name(rest.substr(1, rest.size() - 2));
    for (const char c : name) {
        // A name is a program name, never a path or a second quoted text.
        if (c == '"' || c == '/' || static_cast<unsigned char>(c) < 0x20)
            return std::nullopt;
    }

    const std::string verb = lowered(trimmed(args[3]));
    TellCommand command;
    command.application = name;
    if (verb == "quit")
        command.verb = TellVerb::Quit;
    else if (verb == "activate")
        command.verb = TellVerb::Activate;
    else
        return std::nullopt;

    const std::string end = trimmed(args[5]);
    std::string_view endRest(end);
    if (!takeWord(endRest, "end", false) || !takeWord(endRest, "tell", true))
        return std::nullopt;
    error.clear();
    return command;
}

std::vector<std::string> programNames(const std::string &name)
{
    // From the platform map: the programs installed here under a lower-case
    // name. No other name is ever folded.
    static const char *const installedInLowerCase[] = {"Thunderbird"};
    std::vector<std::string> names{name};
    for (const char *listed : installedInLowerCase) {
        if (name == listed && lowered(name) != name)
            names.push_back(lowered(name));
    }
    return names;
}

bool matchesName(const ProcessNames &names, const std::string &name)
{
    for (const std::string &candidate : programNames(name)) {
        if (names.argv0 == candidate || names.exe == candidate)
            return true;
    }
    return false;
}

std::vector<pid_t> findProcesses(const std::string &name, uid_t uid, pid_t self,
                                 const std::string &procRoot)
{
    std::vector<pid_t> found;
    DIR *dir = opendir(procRoot.c_str());
    if (!dir)
        return found;
    while (const dirent *entry = readdir(dir)) {
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != 0 || pid == self)
            continue;
        const int proc = openat(dirfd(dir), entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (proc < 0)
            continue;
        uid_t owner;
        char state = 0;
        unsigned long flags = 0;
        const bool wanted = realUidOf(readSmallFile(proc, "status"), owner) && owner == uid
            && stateAndFlags(readSmallFile(proc, "stat"), state, flags) && !(flags & kKernelThreadFlag)
            && state != 'Z' && state != 'X' && matchesName(namesIn(proc), name);
        close(proc);
        if (wanted)
            found.push_back(pid_t(pid));
    }
    closedir(dir);
    return found;
}

SignalOutcome terminateIfStillNamed(pid_t pid, const std::string &name, uid_t uid, int &error)
{
    error = 0;
    const int pidfd = pidfdOpen(pid);
    if (pidfd < 0) {
        if (errno == ESRCH)
            return SignalOutcome::Gone;
        error = errno;
        return SignalOutcome::Failed;
    }
    // The process the descriptor holds keeps its id until it is reaped. If it
    // is still alive after its /proc folder was opened and read, that folder
    // was its own and not that of a newcomer with the same id.
    const int proc = open(("/proc/" + std::to_string(pid)).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    uid_t owner = 0;
    const bool same = proc >= 0 && realUidOf(readSmallFile(proc, "status"), owner) && owner == uid
        && matchesName(namesIn(proc), name);
    if (proc >= 0)
        close(proc);

    SignalOutcome outcome = SignalOutcome::NotThatProgram;
    if (pidfdSendSignal(pidfd, 0) != 0) {
        outcome = errno == ESRCH ? SignalOutcome::Gone : SignalOutcome::Failed;
    } else if (same) {
        outcome = pidfdSendSignal(pidfd, SIGTERM) == 0 ? SignalOutcome::Signalled
            : errno == ESRCH                         ? SignalOutcome::Gone
                                                     : SignalOutcome::Failed;
    }
    if (outcome == SignalOutcome::Failed)
        error = errno;
    close(pidfd);
    return outcome;
}

QuitResult quitApplication(const std::string &name, std::FILE *errors)
{
    QuitResult result;
    const uid_t uid = getuid();
    for (const pid_t pid : findProcesses(name, uid, getpid())) {
        int error = 0;
        switch (terminateIfStillNamed(pid, name, uid, error)) {
        case SignalOutcome::Signalled:
            ++result.signalled;
            break;
        case SignalOutcome::Failed:
            ++result.failed;
            std::fprintf(errors, "osascript: %s (process %d): %s\n", printablePath(name).c_str(), int(pid),
                         std::strerror(error));
            break;
        case SignalOutcome::Gone: // gone meanwhile is what was asked for
        case SignalOutcome::NotThatProgram:
            break;
        }
    }
    return result;
}

std::string findProgram(const std::string &name, const std::string &searchPath)
{
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
        return {};
    for (const std::string &candidate : programNames(name)) {
        size_t start = 0;
        while (start <= searchPath.size()) {
            size_t colon = searchPath.find(':', start);
            if (colon == std::string::npos)
                colon = searchPath.size();
            const std::string folder = searchPath.substr(start, colon - start);
            start = colon + 1;
            // Relative entries would depend on wherever the script happens
            // to run.
            if (folder.empty() || folder[0] != '/')
                continue;
            const std::string path = folder + "/" + candidate;
            struct stat st;
            if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0)
                return path;
        }
    }
    return {};
}

std::string launchDetached(const std::string &program)
{
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        return std::strerror(errno);
    // Keep the report pipe clear of 0-2, which the new program gets as /dev/null.
    for (int &fd : report) {
        if (fd <= 2) {
            const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
            close(fd);
            fd = moved;
        }
    }
    if (report[0] < 0 || report[1] < 0) {
        if (report[0] >= 0)
            close(report[0]);
        if (report[1] >= 0)
            close(report[1]);
        return "cannot make a pipe";
    }
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        const int err = errno;
        close(report[0]);
        close(report[1]);
        return std::strerror(err);
    }
    if (child == 0) {
        // Own session, then a second fork: the program is nobody's child
        // here, so it is neither left as our zombie nor tied to our terminal.
        setsid();
        const pid_t grandchild = fork();
        if (grandchild != 0)
            _exit(grandchild < 0 ? 1 : 0);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (const int sig : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGTERM, SIGCHLD})
            signal(sig, SIG_DFL);
        // Standard streams on /dev/null and nothing else inherited, so the
        // engine's pipe (which the script holds) is never kept open by it.
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            if (null > 2)
                close(null);
        }
        if (report[1] > 3)
            close_range(3, unsigned(report[1] - 1), 0);
        close_range(unsigned(report[1] + 1), ~0U, 0);
        const char *home = std::getenv("HOME");
        if (!home || chdir(home) != 0)
            (void)!chdir("/");
        const std::string name = baseName(program);
        execl(program.c_str(), name.c_str(), static_cast<char *>(nullptr));
        const int err = errno;
        (void)!write(report[1], &err, sizeof err);
        _exit(127);
    }
    close(report[1]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int err = 0;
    size_t got = 0;
    for (;;) {
        const ssize_t n = read(report[0], reinterpret_cast<char *>(&err) + got, sizeof err - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += size_t(n);
        if (got == sizeof err)
            break;
    }
    close(report[0]);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "cannot start a new process";
    if (got == sizeof err)
        return std::strerror(err);
    return {};
}

} // namespace cv::compat
