#pragma once
// The `osascript` stand-in, for the one form the backup script uses:
//   osascript -e 'tell application "NAME"' -e quit|activate -e 'end tell'
// quit: SIGTERM to every process of the current user that is the program
// NAME; activate: start NAME from PATH, detached. Names are exact and
// case-sensitive (see programNames).

#include <sys/types.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace cv::compat {

enum class TellVerb { Quit, Activate };

struct TellCommand {
    std::string application;
    TellVerb verb = TellVerb::Quit;
};

// Empty result, with a one-line reason in `error`, for anything but the form
// above.
std::optional<TellCommand> parseOsascriptArguments(const std::vector<std::string> &args,
                                                   std::string &error);

// The names the program `name` goes by here: `name` itself and, only for the
// programs this platform installs in lower case (Thunderbird), its lower-case
// form. A user's "mail" is never the application "Mail".
std::vector<std::string> programNames(const std::string &name);

// The names a process goes by: the last component of argv[0] and that of its
// executable. The kernel's short name is not one: anyone can set it.
struct ProcessNames {
    std::string argv0;
    std::string exe;
};

// Whether a process with these names is the program `name`: one of them
// equals one of programNames(name) exactly.
bool matchesName(const ProcessNames &names, const std::string &name);

// Processes of real user `uid` under `procRoot` (normally "/proc") that are
// the program `name`; kernel threads, zombies and `self` are left out.
std::vector<pid_t> findProcesses(const std::string &name, uid_t uid, pid_t self,
                                 const std::string &procRoot = "/proc");

enum class SignalOutcome { Signalled, Gone, NotThatProgram, Failed };

// Sends SIGTERM to `pid` if it still is the program `name` of real user
// `uid`. The process is pinned by a process descriptor first and its names
// are read again for that very process, so a process id reused since the
// scan is never signalled. `error` holds errno for Failed.
SignalOutcome terminateIfStillNamed(pid_t pid, const std::string &name, uid_t uid, int &error);

struct QuitResult {
    int signalled = 0;
    int failed = 0; // signalling refused; reasons went to `errors`
};
QuitResult quitApplication(const std::string &name, std::FILE *errors);

// The program for `name` on `searchPath`: the first of programNames(name)
// found, in that order. Only absolute folders are searched. Empty when there
// is none.
std::string findProgram(const std::string &name, const std::string &searchPath);

// Starts `program` detached (own session, not our child, all standard
// streams on /dev/null, no other descriptor inherited). Empty on success,
// else the reason.
std::string launchDetached(const std::string &program);

} // namespace cv::compat
