#include "ClientData.h"

#include "Clients.h"
#include "Names.h"
#include "UniqueFd.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace cv {

namespace {

using DirCloser = decltype([](DIR *dir) { ::closedir(dir); });
using DirHandle = std::unique_ptr<DIR, DirCloser>;

qint64 mtime(const struct stat &st)
{
    return static_cast<qint64>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// The newest modification time below an open folder, `depth` levels down
// already, spending `budget` entries at most.
void walkNewest(UniqueFd folder, int depth, qint64 &budget, qint64 &newest)
{
    constexpr int kDepth = 3;
    const DirHandle dir(::fdopendir(folder.get()));
    if (!dir)
        return;
    folder.release(); // the stream owns it now
    while (const dirent *entry = ::readdir(dir.get())) {
        if (--budget < 0)
            break;
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        struct stat st {};
        if (::fstatat(::dirfd(dir.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        newest = std::max(newest, mtime(st));
        if (S_ISDIR(st.st_mode) && depth < kDepth) {
            UniqueFd child(::openat(::dirfd(dir.get()), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (child)
                walkNewest(std::move(child), depth + 1, budget, newest);
        }
    }
}

// When the profile data in folder was last written: the newest modification
// time (in nanoseconds) of the folder and of what lies up to three levels
// below it: profiles.ini, the profile folders, their files, and the mail
// folders in them. A Thunderbird in use writes there at every start; a stale
// one left by an older install does not. Links are not followed, and a huge
// tree is looked at only so far.
qint64 lastWritten(const QByteArray &folder)
{
    UniqueFd fd(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0)
        return 0;
    qint64 budget = 20000; // entries
    qint64 newest = mtime(st);
    walkNewest(std::move(fd), 1, budget, newest);
    return newest;
}

const clients::Client &thunderbird()
{
    return *clients::find(QLatin1String(names::kThunderbird));
}

// Thunderbird's folders of this platform, after its classic one.
QStringList platformThunderbirdFolders(const QString &home)
{
    QStringList folders = clientDataFolders(QLatin1String(names::kThunderbird), home);
    if (!folders.isEmpty())
        folders.removeFirst();
    return folders;
}

} // namespace

QStringList clientDataFolders(const QString &client, const QString &home)
{
    QStringList folders;
    if (const clients::Client *entry = clients::find(client)) {
        for (const char *folder : entry->folders)
            if (folder)
                folders << home + QString::fromUtf8(folder);
    }
    return folders;
}

ThunderbirdChoice choosePlatformThunderbirdFolder(const QString &home)
{
    ThunderbirdChoice choice;
    if (QFileInfo::exists(home + QString::fromUtf8(thunderbird().folders[0])))
        return choice;
    const QStringList platform = platformThunderbirdFolders(home);
    qint64 newest = -1;
    for (const QString &path : platform) {
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
    std::sort(choice.skipped.begin(), choice.skipped.end(),
              [&platform](const QString &a, const QString &b) { return platform.indexOf(a) < platform.indexOf(b); });
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
