// Preloaded into a run to hold the real copy command at its most delicate
// moment: the new data is written aside and is about to replace the old file.
// When a rename targets a file called $CV_PAUSE_RENAME_TO, the process writes
// the file $CV_PAUSE_MARKER and then waits for a signal, forever. With
// $CV_REFUSE_LINKS set, hard links are refused as some file systems do.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

bool targetsPausedName(const char *path)
{
    const char *name = getenv("CV_PAUSE_RENAME_TO");
    if (!name || !*name || !path)
        return false;
    const char *slash = strrchr(path, '/');
    return strcmp(slash ? slash + 1 : path, name) == 0;
}

void pauseForever()
{
    if (const char *marker = getenv("CV_PAUSE_MARKER")) {
        const int fd = open(marker, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0)
            close(fd);
    }
    for (;;)
        pause();
}

} // namespace

extern "C" int renameat(int olddirfd, const char *oldpath, int newdirfd, const char *newpath)
{
    if (targetsPausedName(newpath))
        pauseForever();
    using Real = int (*)(int, const char *, int, const char *);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "renameat"));
    return real(olddirfd, oldpath, newdirfd, newpath);
}

extern "C" int rename(const char *oldpath, const char *newpath)
{
    if (targetsPausedName(newpath))
        pauseForever();
    using Real = int (*)(const char *, const char *);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "rename"));
    return real(oldpath, newpath);
}

extern "C" int renameat2(int olddirfd, const char *oldpath, int newdirfd, const char *newpath, unsigned flags)
{
    if (targetsPausedName(newpath))
        pauseForever();
    using Real = int (*)(int, const char *, int, const char *, unsigned);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "renameat2"));
    return real(olddirfd, oldpath, newdirfd, newpath, flags);
}

extern "C" int linkat(int olddirfd, const char *oldpath, int newdirfd, const char *newpath, int flags)
{
    if (const char *refuse = getenv("CV_REFUSE_LINKS"); refuse && *refuse) {
        errno = EPERM;
        return -1;
    }
    using Real = int (*)(int, const char *, int, const char *, int);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "linkat"));
    return real(olddirfd, oldpath, newdirfd, newpath, flags);
}
