#include "BackupHistory.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QSet>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

namespace cv::history {

namespace {

EntryKind kindOf(mode_t mode)
{
    if (S_ISREG(mode))
        return EntryKind::File;
    if (S_ISDIR(mode))
        return EntryKind::Folder;
    if (S_ISLNK(mode))
        return EntryKind::Link;
    return EntryKind::Other;
}

EntryKind kindOfDirent(unsigned char type)
{
    switch (type) {
    case DT_REG: return EntryKind::File;
    case DT_DIR: return EntryKind::Folder;
    case DT_LNK: return EntryKind::Link;
    default: return EntryKind::Other;
    }
}

// Walks one open folder; fds are closed on return. Raw readdir, and fstatat
// only where it is needed: a point over a hundred thousand entries must list
// in well under a second, and the kind comes with the folder's listing.
void walk(int dirFd, const QString &prefix, const QString &skipTopLevel, ScanDetail detail, QList<Entry> &out)
{
    DIR *dir = fdopendir(dirFd);
    if (!dir) {
        close(dirFd);
        return;
    }
    while (const dirent *d = readdir(dir)) {
        const char *raw = d->d_name;
        if (raw[0] == '.' && (raw[1] == 0 || (raw[1] == '.' && raw[2] == 0)))
            continue;
        const QString name = QFile::decodeName(raw);
        if (prefix.isEmpty() && !skipTopLevel.isEmpty() && name == skipTopLevel)
            continue;
        Entry entry;
        entry.kind = d->d_type == DT_UNKNOWN ? EntryKind::Other : kindOfDirent(d->d_type);
        const bool needStat = d->d_type == DT_UNKNOWN || detail == ScanDetail::All
            || (detail == ScanDetail::FileSizes && entry.kind == EntryKind::File);
        if (needStat) {
            struct stat st;
            if (fstatat(dirfd(dir), raw, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            entry.kind = kindOf(st.st_mode);
            entry.size = entry.kind == EntryKind::Folder ? 0 : qint64(st.st_size);
            entry.modifiedMs = qint64(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
        }
        entry.path = prefix.isEmpty() ? name : prefix + QLatin1Char('/') + name;
        const bool folder = entry.kind == EntryKind::Folder;
        const QString path = entry.path;
        out.append(std::move(entry));
        if (folder) {
            const int child = openat(dirfd(dir), raw, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child >= 0)
                walk(child, path, skipTopLevel, detail, out);
        }
    }
    closedir(dir);
}

// Relative, clean, and never above the destination.
bool isSafeRelativePath(const QString &path)
{
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')))
        return false;
    for (const QStringView part : QStringView(path).split(QLatin1Char('/')))
        if (part.isEmpty() || part == u"." || part == u"..")
            return false;
    return true;
}

QString parentOf(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString() : path.left(slash);
}

constexpr int kNever = INT_MAX;

void lowerTo(QHash<QString, int> &map, const QString &key, int value)
{
    auto it = map.find(key);
    if (it == map.end())
        map.insert(key, value);
    else if (value < *it)
        *it = value;
}

} // namespace

QList<Entry> scanTree(const QString &root, const QString &skipTopLevel, ScanDetail detail, bool withDiskPaths)
{
    QList<Entry> out;
    const int fd = open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0)
        walk(fd, QString(), skipTopLevel, detail, out);
    if (withDiskPaths)
        for (Entry &e : out)
            e.diskPath = root + QLatin1Char('/') + e.path;
    return out;
}

bool fillDetails(Entry &entry)
{
    if (entry.size >= 0)
        return true;
    struct stat st;
    if (lstat(QFile::encodeName(entry.diskPath).constData(), &st) != 0)
        return false;
    entry.size = S_ISDIR(st.st_mode) ? 0 : qint64(st.st_size);
    entry.modifiedMs = qint64(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
    return true;
}

QStringList readCreatedRecord(const QString &versionFolder)
{
    QFile file(versionFolder + QLatin1Char('/') + QLatin1String(kCreatedRecordName));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    QStringList paths;
    qsizetype start = 0;
    // An interrupted run's last entry has no NUL yet: it is left out.
    for (qsizetype end = bytes.indexOf('\0'); end >= 0; end = bytes.indexOf('\0', start)) {
        QString path = QFile::decodeName(bytes.mid(start, end - start));
        while (path.startsWith(QLatin1String("./")))
            path.remove(0, 2);
        while (path.endsWith(QLatin1Char('/')))
            path.chop(1);
        if (isSafeRelativePath(path))
            paths.append(path);
        start = end + 1;
    }
    return paths;
}

BackupHistory::BackupHistory(QString destination)
    : m_destination(std::move(destination))
{
    while (m_destination.size() > 1 && m_destination.endsWith(QLatin1Char('/')))
        m_destination.chop(1);
}

QStringList BackupHistory::stamps() const
{
    QStringList stamps;
    const QString root = versionsRoot(m_destination);
    const QFileInfoList infos = QDir(root).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QFileInfo &info : infos) {
        if (info.isSymLink() || !timeOfStamp(info.fileName()))
            continue;
        stamps.append(info.fileName());
    }
    std::sort(stamps.begin(), stamps.end()); // the stamp's form sorts by time
    return stamps;
}

const QList<Entry> &BackupHistory::keptBy(const QString &stamp) const
{
    auto it = m_kept.find(stamp);
    if (it == m_kept.end()) {
        const QString folder = versionsRoot(m_destination) + QLatin1Char('/') + stamp;
        it = m_kept.insert(stamp, scanTree(folder, QString::fromLatin1(kCreatedRecordName), ScanDetail::FileSizes, false));
    }
    return *it;
}

QList<Point> BackupHistory::points(const QDateTime &latestTime) const
{
    QList<Point> points;
    Point latest;
    latest.time = latestTime;
    points.append(latest);
    const QStringList all = stamps();
    for (auto it = all.crbegin(); it != all.crend(); ++it) {
        Point point;
        point.stamp = *it;
        point.time = *timeOfStamp(*it);
        bool keptAnything = false;
        for (const Entry &entry : keptBy(*it)) {
            keptAnything = true;
            if (entry.kind == EntryKind::Folder)
                continue;
            ++point.files;
            if (entry.kind == EntryKind::File)
                point.bytes += entry.size;
        }
        if (keptAnything)
            points.append(point);
    }
    return points;
}

QList<Entry> BackupHistory::treeAt(const QString &stamp) const
{
    const QString skip = QString::fromLatin1(kVersionsFolderName);
    const bool latest = stamp.isEmpty();
    QList<Entry> mirror = scanTree(m_destination, skip, ScanDetail::KindsOnly, latest);
    if (latest) {
        std::sort(mirror.begin(), mirror.end(), [](const Entry &a, const Entry &b) { return a.path < b.path; });
        return mirror;
    }

    // The runs at or after the point, oldest first: index k is the k-th.
    QStringList later;
    for (const QString &s : stamps())
        if (s >= stamp)
            later.append(s);

    QList<QList<Entry>> kept;
    QHash<QString, QPair<int, int>> firstKept; // path -> (run, index in kept[run])
    QHash<QString, int> created;               // path -> first run that created it
    QHash<QString, int> replacedByOther;       // path -> first run that kept it as a non-folder
    for (int k = 0; k < later.size(); ++k) {
        const QString folder = versionsRoot(m_destination) + QLatin1Char('/') + later.at(k);
        kept.append(keptBy(later.at(k)));
        const QList<Entry> &entries = kept.constLast();
        for (int i = 0; i < entries.size(); ++i) {
            const Entry &e = entries.at(i);
            if (!firstKept.contains(e.path))
                firstKept.insert(e.path, {k, i});
            if (e.kind != EntryKind::Folder)
                lowerTo(replacedByOther, e.path, k);
        }
        for (const QString &path : readCreatedRecord(folder))
            lowerTo(created, path, k);
    }

    QHash<QString, int> inMirror;
    inMirror.reserve(mirror.size());
    for (int i = 0; i < mirror.size(); ++i)
        inMirror.insert(mirror.at(i).path, i);

    QStringList paths;
    paths.reserve(mirror.size() + firstKept.size());
    for (const Entry &e : std::as_const(mirror))
        paths.append(e.path);
    for (auto it = firstKept.cbegin(); it != firstKept.cend(); ++it)
        if (!inMirror.contains(it.key()))
            paths.append(it.key());
    std::sort(paths.begin(), paths.end()); // parents before what they hold

    // For each folder present at the point: the first later run from which
    // nothing below it can have existed at the point.
    QHash<QString, int> blockedBelow;
    blockedBelow.reserve(paths.size());
    blockedBelow.insert(QString(), kNever);
    QList<Entry> tree;
    tree.reserve(paths.size());
    for (const QString &path : std::as_const(paths)) {
        const auto parent = blockedBelow.constFind(parentOf(path));
        if (parent == blockedBelow.constEnd())
            continue; // its folder did not exist at the point
        const int keptRun = firstKept.contains(path) ? firstKept.value(path).first : kNever;
        const int gone = std::min(*parent, created.value(path, kNever));
        Entry entry;
        if (keptRun != kNever && keptRun <= gone) {
            const auto [run, index] = firstKept.value(path);
            entry = std::move(kept[run][index]);
            entry.keptBy = later.at(run);
            entry.diskPath = versionsRoot(m_destination) + QLatin1Char('/') + later.at(run) + QLatin1Char('/') + path;
        } else if (gone != kNever || !inMirror.contains(path)) {
            continue;
        } else {
            entry = std::move(mirror[inMirror.value(path)]);
            entry.diskPath = m_destination + QLatin1Char('/') + path;
        }
        if (entry.kind == EntryKind::Folder) {
            const int below = std::min({gone, created.value(path, kNever), replacedByOther.value(path, kNever)});
            blockedBelow.insert(path, below);
        }
        tree.append(std::move(entry));
    }
    return tree;
}

std::optional<Entry> BackupHistory::entryAt(const QString &path, const QString &stamp) const
{
    const QList<Entry> tree = treeAt(stamp);
    const auto it = std::lower_bound(tree.cbegin(), tree.cend(), path,
                                     [](const Entry &e, const QString &p) { return e.path < p; });
    if (it == tree.cend() || it->path != path)
        return std::nullopt;
    Entry entry = *it;
    fillDetails(entry);
    return entry;
}

QList<Entry> BackupHistory::filtered(const QList<Entry> &tree, const QString &text)
{
    const QString needle = text.trimmed();
    if (needle.isEmpty())
        return tree;
    QSet<QString> wanted;
    for (const Entry &e : tree) {
        if (!e.name().contains(needle, Qt::CaseInsensitive))
            continue;
        for (QString p = e.path; !p.isEmpty() && !wanted.contains(p); p = parentOf(p))
            wanted.insert(p);
    }
    QList<Entry> out;
    for (const Entry &e : tree)
        if (wanted.contains(e.path))
            out.append(e);
    return out;
}

QList<Entry> BackupHistory::subtree(const QList<Entry> &tree, const QString &path)
{
    QList<Entry> out;
    auto it = std::lower_bound(tree.cbegin(), tree.cend(), path,
                               [](const Entry &e, const QString &p) { return e.path < p; });
    if (it == tree.cend() || it->path != path)
        return out;
    out.append(*it);
    // What a folder holds sorts together, though not always right after it.
    const QString prefix = path + QLatin1Char('/');
    for (it = std::lower_bound(tree.cbegin(), tree.cend(), prefix,
                               [](const Entry &e, const QString &p) { return e.path < p; });
         it != tree.cend() && it->path.startsWith(prefix); ++it)
        out.append(*it);
    return out;
}

} // namespace cv::history
