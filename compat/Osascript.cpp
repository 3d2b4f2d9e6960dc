#include "Osascript.h"

#include "Ditto.h" // printablePath
#include "ProgramProcesses.h"
#include "UniqueFd.h"

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

SignalOutcome terminateIfStillNamed(pid_t pid, const std::string &name, uid_t uid, int &error)
{
    error = 0;
    const UniqueFd pidfd(pidfdOpen(pid));
    if (!pidfd) {
        if (errno == ESRCH)
            return SignalOutcome::Gone;
        error = errno;
        return SignalOutcome::Failed;
    }
    // The process the descriptor holds keeps its id until it is reaped. If it
    // is still alive after its /proc folder was read, that folder was its own
    // and not that of a newcomer with the same id.
    const bool same = processes::isProgramOf(pid, name, uid);

    SignalOutcome outcome = SignalOutcome::NotThatProgram;
    if (pidfdSendSignal(pidfd.get(), 0) != 0) {
        outcome = errno == ESRCH ? SignalOutcome::Gone : SignalOutcome::Failed;
    } else if (same) {
        outcome = pidfdSendSignal(pidfd.get(), SIGTERM) == 0 ? SignalOutcome::Signalled
            : errno == ESRCH                               ? SignalOutcome::Gone
                                                           : SignalOutcome::Failed;
    }
    if (outcome == SignalOutcome::Failed)
        error = errno;
    return outcome;
}

QuitResult quitApplication(const std::string &name, std::FILE *errors)
{
    QuitResult result;
    const uid_t uid = getuid();
    for (const pid_t pid : processes::findProcesses(name, uid, getpid())) {
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
    for (const std::string &candidate : processes::programNames(name)) {
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

namespace {

// A pipe whose ends are clear of 0-2, which the new program gets as /dev/null.
PlainResult<std::pair<UniqueFd, UniqueFd>> reportPipe()
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return fail(std::string(std::strerror(errno)));
    UniqueFd ends[2] = {UniqueFd(fds[0]), UniqueFd(fds[1])};
    for (UniqueFd &end : ends) {
        if (end.get() <= 2)
            end = UniqueFd(fcntl(end.get(), F_DUPFD_CLOEXEC, 3));
        if (!end)
            return fail(std::string("cannot make a pipe"));
    }
    return std::pair(std::move(ends[0]), std::move(ends[1]));
}

// In the first child: a session of its own, and a second fork, so the program
// is nobody's child here, neither left as our zombie nor tied to our
// terminal. Never returns.
[[noreturn]] void execDetached(const std::string &program, int report)
{
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
    UniqueFd null(open("/dev/null", O_RDWR));
    if (null) {
        dup2(null.get(), 0);
        dup2(null.get(), 1);
        dup2(null.get(), 2);
        if (null.get() <= 2)
            (void)null.release(); // now one of the standard streams
    }
    null.reset();
    if (report > 3)
        close_range(3, unsigned(report - 1), 0);
    close_range(unsigned(report + 1), ~0U, 0);
    const char *home = std::getenv("HOME");
    if (!home || chdir(home) != 0)
        (void)!chdir("/");
    const std::string name = baseName(program);
    execl(program.c_str(), name.c_str(), static_cast<char *>(nullptr));
    const int err = errno;
    (void)!write(report, &err, sizeof err);
    _exit(127);
}

// The errno the child wrote before exec failed; 0 when exec succeeded (the
// pipe closed on exec with nothing in it).
int readExecError(int report)
{
    int err = 0;
    size_t got = 0;
    for (;;) {
        const ssize_t n = read(report, reinterpret_cast<char *>(&err) + got, sizeof err - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += size_t(n);
        if (got == sizeof err)
            break;
    }
    return got == sizeof err ? err : 0;
}

} // namespace

PlainResult<void> launchDetached(const std::string &program)
{
    auto pipe = reportPipe();
    if (!pipe)
        return fail(pipe.reason());
    auto &[readEnd, writeEnd] = *pipe;
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0)
        return fail(std::string(std::strerror(errno)));
    if (child == 0)
        execDetached(program, writeEnd.get());
    writeEnd.reset();
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    const int err = readExecError(readEnd.get());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return fail(std::string("cannot start a new process"));
    if (err != 0)
        return fail(std::string(std::strerror(err)));
    return {};
}

} // namespace cv::compat
