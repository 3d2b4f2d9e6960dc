#include "ProcessTable.h"

#include "UniqueFd.h"

#include <cerrno>
#include <charconv>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>

namespace cv::processes {

namespace {

// Skips one blank and reads a number; false at anything else.
template <class Number>
bool readField(std::string_view &rest, Number &out)
{
    if (rest.empty() || rest.front() != ' ')
        return false;
    rest.remove_prefix(1);
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), out);
    if (error != std::errc())
        return false;
    rest.remove_prefix(size_t(end - rest.data()));
    return true;
}

} // namespace

std::optional<ProcessStat> parseStat(std::string_view line)
{
    // "pid (name) state ppid pgrp session tty tpgid flags ..."
    ProcessStat stat;
    const auto [idEnd, idError] = std::from_chars(line.data(), line.data() + line.size(), stat.pid);
    const size_t close = line.rfind(')');
    if (idError != std::errc() || close == std::string_view::npos || close + 2 >= line.size()
        || idEnd > line.data() + close)
        return std::nullopt;
    std::string_view rest = line.substr(close + 1);
    if (rest.size() < 2 || rest[0] != ' ')
        return std::nullopt;
    stat.state = rest[1];
    rest.remove_prefix(2);
    long session = 0, tty = 0, terminalGroup = 0;
    if (!readField(rest, stat.parent) || !readField(rest, stat.group) || !readField(rest, session)
        || !readField(rest, tty) || !readField(rest, terminalGroup) || !readField(rest, stat.flags))
        return std::nullopt;
    return stat;
}

std::optional<ProcessStat> readStat(pid_t pid)
{
    if (pid <= 0)
        return std::nullopt;
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return std::nullopt;
    char line[1024];
    const ssize_t n = ::read(fd.get(), line, sizeof line);
    if (n <= 0)
        return std::nullopt;
    return parseStat(std::string_view(line, size_t(n)));
}

bool isRunning(pid_t pid)
{
    const std::optional<ProcessStat> stat = readStat(pid);
    return stat && stat->canRun();
}

std::string commandName(pid_t pid)
{
    const std::string path = pid == 0 ? std::string("/proc/self/comm") : "/proc/" + std::to_string(pid) + "/comm";
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return {};
    char text[64];
    const ssize_t n = ::read(fd.get(), text, sizeof text);
    return n > 0 ? std::string(text, size_t(n)) : std::string();
}

std::vector<pid_t> processIds()
{
    std::vector<pid_t> ids;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return ids;
    while (const dirent *entry = ::readdir(proc)) {
        const std::string_view name = entry->d_name;
        pid_t pid = 0;
        const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), pid);
        if (error == std::errc() && end == name.data() + name.size() && pid > 0)
            ids.push_back(pid);
    }
    ::closedir(proc);
    return ids;
}

bool groupHasLivingMembers(pid_t group)
{
    if (group <= 0)
        return false;
    if (::kill(-group, 0) != 0 && errno == ESRCH)
        return false;
    const std::vector<pid_t> ids = processIds();
    if (ids.empty())
        return true; // no table to look in: kill(2) found one
    for (const pid_t pid : ids) {
        const std::optional<ProcessStat> stat = readStat(pid);
        if (stat && stat->group == group && stat->canRun())
            return true;
    }
    return false;
}

} // namespace cv::processes
