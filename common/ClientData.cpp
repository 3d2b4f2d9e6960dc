#include "ClientData.h"

#include "Names.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace cv {

namespace {

struct ClientFolder {
    const char *client;
    const char *folder;
};
// Classic folder first, then this platform's, in order of preference.
constexpr ClientFolder kClientFolders[] = {
    {names::kAppleMail, "/Library/Mail"},
    {names::kOutlook2011, "/Documents/Microsoft User Data/Office 2011 Identities"},
    {names::kEntourage2008, "/Documents/Microsoft User Data/Office 2008 Identities"},
    {names::kEntourage2004, "/Documents/Microsoft User Data/Office 2004 Identities"},
    {names::kEntourageVX, "/Documents/Microsoft User Data/Office X Identities"},
    {names::kThunderbird, "/Library/Thunderbird"},
    {names::kThunderbird, "/.thunderbird"},
    {names::kThunderbird, "/snap/thunderbird/common/.thunderbird"},
    {names::kThunderbird, "/.var/app/org.mozilla.Thunderbird/.thunderbird"},
    {names::kEudora6, "/Documents/Eudora Folder"},
};

// When the profile data in folder was last written: the newest modification
// time (in nanoseconds) of the folder and of what lies up to three levels
// below it: profiles.ini, the profile folders, their files, and the mail
// folders in them. A Thunderbird in use writes there at every start; a stale
// one left by an older install does not. Links are not followed, and a huge
// tree is looked at only so far.
qint64 lastWritten(const QByteArray &folder)
{
    constexpr int kDepth = 3;
    qint64 budget = 20000; // entries
    qint64 newest = 0;
    const auto mtime = [](const struct stat &st) {
        return static_cast<qint64>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    };
    const std::function<void(int, int)> walk = [&](int dirFd, int depth) {
        DIR *dir = ::fdopendir(dirFd);
        if (!dir) {
            ::close(dirFd);
            return;
        }
        while (const dirent *entry = ::readdir(dir)) {
            if (--budget < 0)
                break;
            if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
                continue;
            struct stat st {};
            if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            newest = std::max(newest, mtime(st));
            if (S_ISDIR(st.st_mode) && depth < kDepth) {
                const int child = ::openat(::dirfd(dir), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (child >= 0)
                    walk(child, depth + 1);
            }
        }
        ::closedir(dir);
    };
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        if (fd >= 0)
            ::close(fd);
        return 0;
    }
    newest = mtime(st);
    walk(fd, 1);
    return newest;
}

} // namespace

QStringList clientDataFolders(const QString &client, const QString &home)
{
    QStringList folders;
    for (const ClientFolder &entry : kClientFolders) {
        if (client == QLatin1String(entry.client))
            folders << home + QString::fromUtf8(entry.folder);
    }
    return folders;
}

ThunderbirdChoice choosePlatformThunderbirdFolder(const QString &home)
{
    ThunderbirdChoice choice;
    if (QFileInfo::exists(home + QStringLiteral("/Library/Thunderbird")))
        return choice;
    qint64 newest = -1;
    for (const char *folder : kPlatformThunderbirdFolders) {
        const QString path = home + QLatin1String(folder);
        if (!QFileInfo(path).isDir())
            continue;
        const qint64 written = lastWritten(QFile::encodeName(path));
        if (written > newest) {
            if (!choice.folder.isEmpty())
                choice.skipped.append(choice.folder);
            choice.folder = path;
            newest = written;
        } else {
            choice.skipped.append(path);
        }
    }
    // Listed in order of preference, whichever was found first.
    std::sort(choice.skipped.begin(), choice.skipped.end(), [&home](const QString &a, const QString &b) {
        const auto rank = [&home](const QString &path) {
            int i = 0;
            for (const char *folder : kPlatformThunderbirdFolders) {
                if (path == home + QLatin1String(folder))
                    return i;
                ++i;
            }
            return i;
        };
        return rank(a) < rank(b);
    });
    return choice;
}


QString backedUpDataFolder(const QString &client, const QString &home)
{
    const QStringList folders = clientDataFolders(client, home);
    if (folders.isEmpty())
        return {};
    if (client == QLatin1String(names::kThunderbird)) {
        const QString platform = choosePlatformThunderbirdFolder(home).folder;
        if (!platform.isEmpty())
            return platform;
    }
    return folders.constFirst();
}

} // namespace cv
