#include "ProgramProcesses.h"

#include "ProcessTable.h"
#include "UniqueFd.h"

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

namespace cv::processes {

namespace {

constexpr unsigned long kKernelThreadFlag = 0x00200000; // PF_KTHREAD

std::string lowered(std::string s)
{
    for (char &c : s)
        c = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
    return s;
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
    const UniqueFd fd(::openat(dir, name, O_RDONLY | O_CLOEXEC));
    if (!fd)
        return out;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        out.append(buffer, size_t(n));
        if (out.size() > 65536)
            break;
    }
    return out;
}

bool ownedBy(int dir, uid_t uid)
{
    const std::string status = readSmallFile(dir, "status");
    const size_t at = status.find("\nUid:");
    if (at == std::string::npos)
        return false;
    const char *start = status.c_str() + at + 5;
    char *end = nullptr;
    const unsigned long value = std::strtoul(start, &end, 10);
    return end != start && uid_t(value) == uid;
}

// The names of the process whose /proc folder is open as `dir`.
ProcessNames namesIn(int dir)
{
    ProcessNames names;
    const std::string cmdline = readSmallFile(dir, "cmdline");
    names.argv0 = baseName(cmdline.substr(0, cmdline.find('\0')));
    char target[4096];
    const ssize_t n = ::readlinkat(dir, "exe", target, sizeof target - 1);
    if (n > 0) {
        std::string exe(target, size_t(n));
        const std::string deleted = " (deleted)";
        if (exe.size() > deleted.size() && exe.ends_with(deleted))
            exe.resize(exe.size() - deleted.size());
        names.exe = baseName(exe);
    }
    return names;
}

UniqueFd openProcessFolder(pid_t pid)
{
    return UniqueFd(::open(("/proc/" + std::to_string(pid)).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// A user's process that can still run, not one of the kernel's threads.
bool runsForUser(int dir, uid_t uid)
{
    if (!ownedBy(dir, uid))
        return false;
    const std::optional<ProcessStat> stat = parseStat(readSmallFile(dir, "stat"));
    return stat && stat->canRun() && !(stat->flags & kKernelThreadFlag);
}

} // namespace

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

bool isProgramOf(pid_t pid, const std::string &name, uid_t uid)
{
    const UniqueFd dir = openProcessFolder(pid);
    return dir && ownedBy(dir.get(), uid) && matchesName(namesIn(dir.get()), name);
}

std::vector<pid_t> findProcesses(const std::string &name, uid_t uid, pid_t self)
{
    std::vector<pid_t> found;
    for (const pid_t pid : processIds()) {
        if (pid == self)
            continue;
        // Every file read through the one folder: all of them are of one process.
        const UniqueFd dir = openProcessFolder(pid);
        if (dir && runsForUser(dir.get(), uid) && matchesName(namesIn(dir.get()), name))
            found.push_back(pid);
    }
    return found;
}

} // namespace cv::processes
