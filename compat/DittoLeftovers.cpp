// Unfinished copies: a copy ended by SIGTERM, SIGINT or SIGHUP removes the
// file it was writing, and a later copy removes the temporary files of runs
// whose process is gone (SIGKILL, a power cut), so no partial file stays in
// the backup.
#include "DittoParts.h"

#include "BackupFormat.h"
#include "ProcessTable.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace cv::compat::detail {

namespace {

// A signal handler can reach nothing but static storage: the one file being
// written, set once it exists and cleared once it is complete.
struct Unfinished {
    int dirFd = -1;
    char name[PATH_MAX] = {}; // relative to dirFd
    volatile sig_atomic_t armed = 0;
};
Unfinished g_unfinished;

void removeUnfinishedAndEnd(int signal)
{
    if (g_unfinished.armed)
        unlinkat(g_unfinished.dirFd, g_unfinished.name, 0);
    // End as the signal would have, so the caller sees why.
    ::signal(signal, SIG_DFL);
    raise(signal);
}

constexpr size_t kTempPrefixLength = sizeof cv::format::kTempPrefix - 1;

// The process id in a temporary name (kTempPrefix, then "<pid>-<n>"), 0
// for any other name.
pid_t temporaryOwner(const char *name)
{
    if (std::strncmp(name, cv::format::kTempPrefix, kTempPrefixLength) != 0)
        return 0;
    const char *p = name + kTempPrefixLength;
    char *end = nullptr;
    const long pid = std::strtol(p, &end, 10);
    if (end == p || *end != '-' || pid <= 0 || *p < '0' || *p > '9')
        return 0;
    p = end + 1;
    if (*p < '0' || *p > '9')
        return 0;
    std::strtoul(p, &end, 10);
    return *end == 0 ? pid_t(pid) : 0;
}

bool processIsGone(pid_t pid)
{
    if (kill(pid, 0) != 0 && errno == ESRCH)
        return true;
    // A live process of that number: a copy like this one may still be
    // writing the file, unless the number was given to another program since.
    const std::string theirs = cv::processes::commandName(pid);
    return !theirs.empty() && theirs != cv::processes::commandName(0);
}

} // namespace

} // namespace cv::compat::detail

namespace cv::compat {

void removeUnfinishedCopyOnSignals()
{
    struct sigaction action{};
    action.sa_handler = detail::removeUnfinishedAndEnd;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction old{};
        // A signal the caller ignores (nohup) stays ignored.
        if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        sigaction(signal, &action, nullptr);
    }
}

} // namespace cv::compat

namespace cv::compat::detail {

void markUnfinished(int dirFd, const char *name)
{
    if (std::strlen(name) >= PATH_MAX)
        return;
    g_unfinished.armed = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    g_unfinished.dirFd = dirFd;
    std::strcpy(g_unfinished.name, name);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    g_unfinished.armed = 1;
}

void markFinished()
{
    g_unfinished.armed = 0;
}

void LeftoverSweep::sweep(int dstDirFd, Report &report)
{
    if (m_buffer.empty())
        m_buffer.resize(16 * 1024);
    std::string found;
    for (;;) {
        const ssize_t n = getdents64(dstDirFd, m_buffer.data(), m_buffer.size());
        if (n <= 0)
            break; // unreadable: the copy itself will say so
        for (ssize_t pos = 0; pos < n;) {
            const auto *d = reinterpret_cast<const struct dirent64 *>(m_buffer.data() + pos);
            pos += d->d_reclen;
            if (d->d_name[0] == '.' && d->d_name[1] == 'd' && temporaryOwner(d->d_name) != 0) {
                found.append(d->d_name);
                found.push_back('\0');
            }
        }
    }
    // Back to the start for the walk; a folder that cannot seek fails there.
    lseek(dstDirFd, 0, SEEK_SET);
    for (size_t pos = 0; pos < found.size(); pos += std::strlen(found.c_str() + pos) + 1) {
        const char *name = found.c_str() + pos;
        const pid_t owner = temporaryOwner(name);
        if (owner == getpid() || !processIsGone(owner))
            continue;
        if (unlinkat(dstDirFd, name, 0) != 0)
            continue; // a folder of that name is not ours; gone meanwhile is fine
        report.note(report.dst + "/" + name, "removed, an unfinished copy left by an earlier run");
    }
}

} // namespace cv::compat::detail
