#pragma once
// The system's process table (/proc), read in one place for osascript, the
// engine's task runner, the configurator's engine watch and the restore.
// Plain C++: osascript links it without Qt.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

namespace cv::processes {

// The fields of /proc/<pid>/stat the programs use.
struct ProcessStat {
    pid_t pid = 0;
    char state = 0; // 'R', 'S', ... 'Z' for a zombie, 'X' for a dead one
    pid_t parent = 0;
    pid_t group = 0;
    unsigned long flags = 0;

    // A zombie or a dead process never runs again.
    bool canRun() const { return state != 'Z' && state != 'X'; }
};

// Parses one stat line. The name in parentheses may itself hold blanks and
// parentheses, so the fields are read after its last ')'.
std::optional<ProcessStat> parseStat(std::string_view line);

// None when the process is gone or its entry cannot be read.
std::optional<ProcessStat> readStat(pid_t pid);

// True while `pid` exists and is neither a zombie nor dead.
bool isRunning(pid_t pid);

// The short command name the kernel keeps for `pid` (/proc/<pid>/comm, with
// its newline), or for this process when `pid` is 0; empty when unreadable.
std::string commandName(pid_t pid);

// The ids of every process in the table, in the table's order.
std::vector<pid_t> processIds();

// True while a process of the group `group` can still run. kill(2) alone
// also finds zombies, which an init that never reaps keeps for good.
bool groupHasLivingMembers(pid_t group);

} // namespace cv::processes
