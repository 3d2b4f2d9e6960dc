// Plays a desktop mail program for the osascript tests. With
// CV_STANDIN_REPORT set it first writes how it was started (its process,
// parent and session ids, whether its standard streams are /dev/null and
// how many other descriptors it inherited), then it waits to be told to quit.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

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
    for (;;)
        pause();
}
