// Plays a desktop mail program for the osascript tests. With
// CV_STANDIN_REPORT set it first writes how it was started (its process,
// parent and session ids, whether its standard streams are /dev/null and
// how many other descriptors it inherited), then it waits to be told to quit.
// With CV_STANDIN_QUIT_DELAY_MS set it takes SIGTERM as a request to quit:
// it ends that many milliseconds later, like a program that saves its data
// first, and appends "<pid> <exit time in ns since the epoch>" to the file
// CV_STANDIN_EXIT_LOG just before it ends.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

volatile sig_atomic_t quitRequested = 0;

void requestQuit(int)
{
    quitRequested = 1;
}

// Waits for SIGTERM, lingers, records the time and ends.
[[noreturn]] void quitSlowly(long delayMs, const char *exitLog)
{
    sigset_t term, previous;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_BLOCK, &term, &previous);
    struct sigaction action = {};
    action.sa_handler = requestQuit;
    sigaction(SIGTERM, &action, nullptr);
    while (!quitRequested)
        sigsuspend(&previous);
    const timespec delay{delayMs / 1000, (delayMs % 1000) * 1000000};
    nanosleep(&delay, nullptr);
    if (exitLog) {
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        const std::string line = std::to_string(getpid()) + ' '
            + std::to_string(now.tv_sec * 1000000000LL + now.tv_nsec) + '\n';
        const int fd = open(exitLog, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) {
            (void)!write(fd, line.data(), line.size());
            close(fd);
        }
    }
    _exit(0);
}

} // namespace

int main()
{
    alarm(120); // never outlives a failed test for long
    if (const char *report = std::getenv("CV_STANDIN_REPORT")) {
        struct stat null, st;
        stat("/dev/null", &null);
        std::string streams;
        for (int fd = 0; fd < 3; ++fd)
            streams += fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == null.st_rdev ? '1' : '0';
        int extra = 0;
        for (int fd = 3; fd < 1024; ++fd)
            extra += fcntl(fd, F_GETFD) != -1;
        // Written whole under another name first: the test polls for the file.
        const std::string temp = std::string(report) + ".tmp";
        if (FILE *f = std::fopen(temp.c_str(), "w")) {
            std::fprintf(f, "%d %d %d %s %d\n", int(getpid()), int(getppid()), int(getsid(0)),
                         streams.c_str(), extra);
            std::fclose(f);
            std::rename(temp.c_str(), report);
        }
    }
    if (const char *delay = std::getenv("CV_STANDIN_QUIT_DELAY_MS"))
        quitSlowly(std::atol(delay), std::getenv("CV_STANDIN_EXIT_LOG"));
    for (;;)
        pause();
}
