#pragma once
// The `osascript` stand-in, for the one form the backup script uses:
//   osascript -e 'tell application "NAME"' -e quit|activate -e 'end tell'
// quit: SIGTERM to every process of the current user that is the program
// NAME; activate: start NAME from PATH, detached. Names are exact and
// case-sensitive; which processes are the program NAME, ProgramProcesses.h
// says.

#include "BasicResult.h"

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
// streams on /dev/null, no other descriptor inherited).
cv::PlainResult<void> launchDetached(const std::string &program);

} // namespace cv::compat
