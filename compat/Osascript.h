#pragma once
// The `osascript` stand-in, for the one form the backup script uses:
//   osascript -e 'tell application "NAME"' -e quit|activate -e 'end tell'
// quit: SIGTERM to every process of the current user whose program name is
// NAME (any case); activate: start NAME from PATH, detached.

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

// ASCII letters compared without regard to case, every other byte exactly.
bool sameProgramName(const std::string &a, const std::string &b);

// The names a process goes by: its kernel name (cut to 15 characters), the
// last component of argv[0] and that of its executable.
struct ProcessNames {
    std::string comm;
    std::string argv0;
    std::string exe;
};

// Whether a process with these names is the program `name`.
bool matchesName(const ProcessNames &names, const std::string &name);

// Processes of real user `uid` under `procRoot` (normally "/proc") named
// `name`; kernel threads, zombies and `self` are left out.
std::vector<pid_t> findProcesses(const std::string &name, uid_t uid, pid_t self,
                                 const std::string &procRoot = "/proc");

struct QuitResult {
    int signalled = 0;
    int failed = 0; // kill refused; reasons went to `errors`
};
QuitResult quitApplication(const std::string &name, std::FILE *errors);

// The program for `name` on `searchPath`: the exact name first, then the name
// in lower case (desktop programs here are mostly installed in lower case).
// Only absolute folders are searched. Empty when there is none.
std::string findProgram(const std::string &name, const std::string &searchPath);

// Starts `program` detached (own session, not our child, all standard
// streams on /dev/null, no other descriptor inherited). Empty on success,
// else the reason.
std::string launchDetached(const std::string &program);

} // namespace cv::compat
