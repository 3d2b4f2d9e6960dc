#pragma once
// Finding the processes of a program by its name, for osascript's quit and
// the restore's wait for a client to have quit. A process's names are those
// of its argv[0] and of its executable: the kernel's short name is not one,
// since anyone can set it.

#include <sys/types.h>

#include <string>
#include <vector>

namespace cv::processes {

// The names the program `name` goes by here: `name` itself and, only for the
// programs this platform installs in lower case (Thunderbird), its lower-case
// form. A user's "mail" is never the application "Mail". Names are exact and
// case-sensitive.
std::vector<std::string> programNames(const std::string &name);

// The names a process goes by: the last component of argv[0] and that of its
// executable.
struct ProcessNames {
    std::string argv0;
    std::string exe;
};

// Whether a process with these names is the program `name`: one of them
// equals one of programNames(name) exactly.
bool matchesName(const ProcessNames &names, const std::string &name);

// Whether the process `pid` is, as its /proc folder says now, the program
// `name` of real user `uid`.
bool isProgramOf(pid_t pid, const std::string &name, uid_t uid);

// Processes of real user `uid` that are the program `name`; kernel threads,
// zombies and `self` are left out.
std::vector<pid_t> findProcesses(const std::string &name, uid_t uid, pid_t self);

} // namespace cv::processes
