#include "BackupHistory.h"

#include "Journal.h"
#include "UniqueFd.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>
#include <climits>
#include <memory>
#include <cstring>
#include <string_view>

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

// Ours, never the client's: the version store and its records at the top,
// and files of a copy that has not finished.
bool isOurs(const char *name, bool topLevel)
{
    if (name[0] != '.')
        return false;
    const auto startsWith = [name](std::string_view prefix) { return std::string_view(name).starts_with(prefix); };
    return (topLevel && startsWith(format::kReservedPrefix)) || startsWith(format::kTempPrefix);
}

void setDetails(Entry &entry, const struct stat &st)
{
    entry.kind = kindOf(st.st_mode);
    entry.size = entry.kind == EntryKind::Folder ? 0 : qint64(st.st_size);
    entry.modifiedMs = qint64(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
}

// Raw readdir, and fstatat only where needed: a point over a hundred
// thousand entries must list in a fraction of a second.
void walk(UniqueFd folder, const QByteArray &prefix, ScanDetail detail, QList<Entry> &out)
{
    const std::unique_ptr<DIR, int (*)(DIR *)> stream(fdopendir(folder.get()), closedir);
    if (!stream)
        return;
    folder.release(); // the stream owns it now
    DIR *const dir = stream.get();
    while (const dirent *d = readdir(dir)) {
        const char *raw = d->d_name;
        if ((raw[0] == '.' && (raw[1] == 0 || (raw[1] == '.' && raw[2] == 0))) || isOurs(raw, prefix.isEmpty()))
            continue;
        Entry entry;
        entry.kind = kindOfDirent(d->d_type);
        const bool needStat = d->d_type == DT_UNKNOWN || detail == ScanDetail::All
            || (detail == ScanDetail::FileSizes && entry.kind == EntryKind::File);
        if (needStat) {
            struct stat st;
            if (fstatat(dirfd(dir), raw, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            setDetails(entry, st);
        }
        entry.path = prefix.isEmpty() ? QByteArray(raw) : prefix + '/' + raw;
        const bool folder = entry.kind == EntryKind::Folder;
        const QByteArray path = entry.path; // shared, not copied; `out` may move as it grows
        out.append(std::move(entry));
        if (folder) {
            UniqueFd child(openat(dirfd(dir), raw, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (child)
                walk(std::move(child), path, detail, out);
        }
    }
}

// Relative, clean, and never above the destination.
bool isSafeRelativePath(const QByteArray &path)
{
    if (path.isEmpty() || path.startsWith('/'))
        return false;
    for (const QByteArray &part : path.split('/'))
        if (part.isEmpty() || part == "." || part == "..")
            return false;
    return true;
}

QByteArray cleanRecordPath(QByteArray path)
{
    while (path.startsWith("./"))
        path.remove(0, 2);
    while (path.endsWith('/'))
        path.chop(1);
    return path;
}

// Depth first: "/" sorts before every other byte, so what a folder holds
// follows it at once ("a", "a/b", "a-b").
bool pathLess(const QByteArray &a, const QByteArray &b)
{
    const qsizetype n = std::min(a.size(), b.size());
    const auto *x = reinterpret_cast<const unsigned char *>(a.constData());
    const auto *y = reinterpret_cast<const unsigned char *>(b.constData());
    for (qsizetype i = 0; i < n; ++i)
        if (x[i] != y[i])
            return (x[i] == '/' ? 0 : x[i]) < (y[i] == '/' ? 0 : y[i]);
    return a.size() < b.size();
}

bool isInside(const QByteArray &path, const QByteArray &folder)
{
    return path.size() > folder.size() && path.startsWith(folder) && path.at(folder.size()) == '/';
}

constexpr int kNever = INT_MAX;

// What a run's folder holds, from its first entries: listing the points
// must not walk every run's folder.
enum class FolderContent { Nothing, RecordsOnly, KeptEntries };
FolderContent contentOf(const QString &folder)
{
    DIR *dir = opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return FolderContent::Nothing;
    FolderContent content = FolderContent::Nothing;
    while (const dirent *d = readdir(dir)) {
        const char *n = d->d_name;
        if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0)))
            continue;
        if (!isOurs(n, true)) {
            content = FolderContent::KeptEntries;
            break;
        }
        content = FolderContent::RecordsOnly;
    }
    closedir(dir);
    return content;
}

struct Run {
    QString id;
    QDateTime time;
    bool failed = false;
    bool hasFolder = false;
};

// The runs in the order they ran: folders from before the journal first (by
// their local-time names), then the journal's.
QList<Run> runsOf(const QString &destination, const QList<JournalRun> &journal, const QStringList &folders)
{
    QSet<QString> journalIds;
    for (const JournalRun &j : journal)
        journalIds.insert(j.id);
    QList<Run> runs;
    for (const QString &folder : folders)
        if (!journalIds.contains(folder))
            runs.append({folder, timeOfStamp(folder)->toUTC(), false, true});
    const QDir root(versionsRoot(destination));
    for (const JournalRun &j : journal) {
        const bool folder = j.versions && QFileInfo(root.filePath(j.id)).isDir();
        runs.append({j.id, j.start, j.outcome != RunOutcome::Success, folder});
    }
    return runs;
}

} // namespace

QByteArray Entry::rawName() const
{
    const qsizetype slash = path.lastIndexOf('/');
    return slash < 0 ? path : path.mid(slash + 1);
}

QString Entry::name() const { return readableName(rawName()); }
QString Entry::readablePath() const { return readableName(path); }

QString readableName(const QByteArray &bytes)
{
    QString out;
    out.reserve(bytes.size());
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.constData());
    const qsizetype n = bytes.size();
    for (qsizetype i = 0; i < n;) {
        // The length of a well-formed UTF-8 sequence starting here, else 0.
        int len = p[i] < 0x80 ? 1 : p[i] >= 0xC2 && p[i] <= 0xDF ? 2 : p[i] >= 0xE0 && p[i] <= 0xEF ? 3
                : p[i] >= 0xF0 && p[i] <= 0xF4                  ? 4
                                                                  : 0;
        if (len > 1 && i + len <= n) {
            for (int k = 1; k < len; ++k)
                if ((p[i + k] & 0xC0) != 0x80)
                    len = 0;
            // Overlong forms and surrogates are not UTF-8 either.
            if (len == 3 && ((p[i] == 0xE0 && p[i + 1] < 0xA0) || (p[i] == 0xED && p[i + 1] >= 0xA0)))
                len = 0;
            if (len == 4 && ((p[i] == 0xF0 && p[i + 1] < 0x90) || (p[i] == 0xF4 && p[i + 1] >= 0x90)))
                len = 0;
        } else if (len > 1) {
            len = 0;
        }
        if (len == 0) {
            out += QStringLiteral("\\x%1").arg(p[i], 2, 16, QLatin1Char('0')).toUpper().replace(QLatin1String("\\X"), QLatin1String("\\x"));
            ++i;
        } else {
            out += QString::fromUtf8(bytes.constData() + i, len);
            i += len;
        }
    }
    return out;
}

QStringList pointLabels(const QList<Point> &points)
{
    const QLocale c = QLocale::c();
    const auto when = [&](const Point &p, const QString &format) {
        return p.time.isValid() ? c.toString(p.time.toLocalTime(), format) : QString();
    };
    // Each time at the coarsest of these forms under which no other reads alike.
    const QString formats[] = {QStringLiteral("ddd d MMM, HH:mm"), QStringLiteral("ddd d MMM, HH:mm:ss"),
                               QStringLiteral("ddd d MMM yyyy, HH:mm:ss")};
    QStringList labels;
    for (const Point &point : points) {
        QString time;
        for (const QString &format : formats) {
            time = when(point, format);
            const bool alike = std::any_of(points.cbegin(), points.cend(), [&](const Point &other) {
                return other.time != point.time && when(other, format) == time;
            });
            if (!alike)
                break;
        }
        QString label = time.isEmpty()                             ? QStringLiteral("date unknown")
                        : point.id.startsWith(QLatin1String("before-")) ? QStringLiteral("Before the backup of ") + time
                                                                        : QStringLiteral("Backup of ") + time;
        if (point.failed)
            label += QStringLiteral(" (failed)");
        labels.append(point.isLatest() ? QStringLiteral("Latest backup\n") + label : label);
    }
    return labels;
}

QList<Entry> scanTree(const QByteArray &root, const QByteArray &, ScanDetail detail)
{
    QList<Entry> out;
    UniqueFd fd(open(root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd)
        walk(std::move(fd), QByteArray(), detail, out);
    return out;
}

bool fillDetails(Entry &entry)
{
    if (entry.size >= 0)
        return true;
    struct stat st;
    if (lstat(entry.diskPath.constData(), &st) != 0)
        return false;
    const EntryKind kind = entry.kind;
    setDetails(entry, st);
    entry.kind = kind == EntryKind::Other ? entry.kind : kind;
    if (entry.metadata)
        entry.modifiedMs = qint64(entry.metadata->mtime.tv_sec) * 1000 + entry.metadata->mtime.tv_nsec / 1000000;
    return true;
}

QList<QByteArray> readCreatedRecord(const QString &versionFolder)
{
    QFile file(versionFolder + QLatin1Char('/') + QLatin1String(format::kCreatedRecord));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    QList<QByteArray> paths;
    qsizetype start = 0;
    // An interrupted run's last entry has no NUL yet: it is left out.
    for (qsizetype end = bytes.indexOf('\0'); end >= 0; end = bytes.indexOf('\0', start)) {
        const QByteArray path = cleanRecordPath(bytes.mid(start, end - start));
        if (isSafeRelativePath(path))
            paths.append(path);
        start = end + 1;
    }
    return paths;
}

namespace {

bool parseTime(const QByteArray &field, struct timespec &out)
{
    const qsizetype dot = field.indexOf('.');
    bool okS = false, okNs = false;
    out.tv_sec = field.left(dot < 0 ? field.size() : dot).toLongLong(&okS);
    out.tv_nsec = dot < 0 ? 0 : field.mid(dot + 1).toLong(&okNs);
    return okS && (dot < 0 || (okNs && out.tv_nsec >= 0 && out.tv_nsec < 1000000000));
}

} // namespace

QHash<QByteArray, Metadata> readMetadataRecord(const QString &versionFolder)
{
    QFile file(versionFolder + QLatin1Char('/') + QLatin1String(format::kMetadataRecord));
    QHash<QByteArray, Metadata> records;
    if (!file.open(QIODevice::ReadOnly))
        return records;
    const QByteArray bytes = file.readAll();
    qsizetype start = 0;
    for (qsizetype end = bytes.indexOf('\0'); end >= 0; start = end + 1, end = bytes.indexOf('\0', start)) {
        const QByteArray record = bytes.mid(start, end - start);
        // Five fields, then the path, which may hold spaces of its own.
        qsizetype from = 0;
        QList<QByteArray> fields;
        for (int f = 0; f < 5; ++f) {
            const qsizetype space = record.indexOf(' ', from);
            if (space < 0)
                break;
            fields.append(record.mid(from, space - from));
            from = space + 1;
        }
        const QByteArray path = cleanRecordPath(record.mid(from));
        Metadata m;
        bool okMode = false, okUid = false, okGid = false;
        if (fields.size() != 5 || !isSafeRelativePath(path))
            continue;
        m.mode = fields[0].toUInt(&okMode, 8) & 07777;
        m.uid = fields[1].toUInt(&okUid);
        m.gid = fields[2].toUInt(&okGid);
        if (okMode && okUid && okGid && parseTime(fields[3], m.atime) && parseTime(fields[4], m.mtime)
            && !records.contains(path))
            records.insert(path, m);
    }
    return records;
}

BackupHistory::BackupHistory(QString destination)
    : m_destination(std::move(destination))
{
    while (m_destination.size() > 1 && m_destination.endsWith(QLatin1Char('/')))
        m_destination.chop(1);
}

QString BackupHistory::runFolder(const QString &run) const
{
    return versionsRoot(m_destination) + QLatin1Char('/') + run;
}

QStringList BackupHistory::stamps() const
{
    QStringList stamps;
    const QFileInfoList infos =
        QDir(versionsRoot(m_destination)).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QFileInfo &info : infos)
        if (!info.isSymLink() && timeOfStamp(info.fileName()))
            stamps.append(info.fileName());
    std::sort(stamps.begin(), stamps.end()); // the name's form sorts by time
    return stamps;
}

BackupHistory::RunRecord BackupHistory::readRecord(const QString &run) const
{
    RunRecord r;
    const QString folder = runFolder(run);
    r.kept = scanTree(QFile::encodeName(folder), {}, ScanDetail::KindsOnly);
    r.keptAt.reserve(r.kept.size());
    for (qsizetype i = 0; i < r.kept.size(); ++i)
        r.keptAt.insert(r.kept.at(i).path, i);
    for (const QByteArray &path : readCreatedRecord(folder))
        r.created.insert(path);
    r.metadata = readMetadataRecord(folder);
    r.empty = r.kept.isEmpty() && r.created.isEmpty() && r.metadata.isEmpty();
    return r;
}

const BackupHistory::RunRecord &BackupHistory::record(const QString &run) const
{
    if (const auto it = m_records.find(run); it != m_records.end())
        return it->second;
    return m_records.emplace(run, readRecord(run)).first->second;
}

void BackupHistory::prefetch(const QStringList &runs) const
{
    // Each run's folder is a tree of its own: read them side by side, their
    // time is mostly the kernel's.
    QStringList missing;
    for (const QString &run : runs)
        if (m_records.find(run) == m_records.end())
            missing.append(run);
    const int threads = int(std::min<qsizetype>(missing.size(), std::clamp(int(std::thread::hardware_concurrency()), 1, 4)));
    if (threads < 1)
        return;
    std::vector<RunRecord> read(size_t(missing.size()));
    std::atomic<qsizetype> next{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&] {
            for (qsizetype i; (i = next++) < missing.size();)
                read[size_t(i)] = readRecord(missing.at(i));
        });
    for (std::thread &thread : pool)
        thread.join();
    for (qsizetype i = 0; i < missing.size(); ++i)
        m_records.emplace(missing.at(i), std::move(read[size_t(i)]));
}

QList<Point> BackupHistory::points(const QDateTime &latestFallback) const
{
    const QList<JournalRun> journal = readJournal(m_destination);
    const QList<Run> runs = runsOf(m_destination, journal, stamps());
    Point latest;
    latest.id = QString::fromLatin1(kLatestPointId);
    latest.latest = true;
    // Without a journal the last run may have kept nothing and left no folder.
    latest.time = journal.isEmpty() ? latestFallback.toUTC() : runs.constLast().time;
    latest.failed = !journal.isEmpty() && runs.constLast().failed;
    QList<Point> points{latest};
    QStringList later;
    for (qsizetype i = runs.size() - 1; i >= 0; --i) {
        const Run &next = runs.at(i);
        if (!next.hasFolder)
            break; // a run that kept nothing, or whose folder is gone, ends the history before it
        later.prepend(next.id);
        const FolderContent changes = contentOf(runFolder(next.id));
        Point point;
        point.laterRuns = later;
        if (i > 0) {
            if (changes == FolderContent::Nothing && !next.failed)
                continue; // the next run changed nothing: the point after it shows the same
            point.id = runs.at(i - 1).id;
            point.time = runs.at(i - 1).time;
            point.failed = runs.at(i - 1).failed;
        } else if (changes == FolderContent::KeptEntries) {
            // Before the oldest run: what an unrecorded run left, if anything.
            point.id = QStringLiteral("before-") + next.id;
            point.time = next.time;
        } else {
            break;
        }
        points.append(point);
    }
    return points;
}

std::optional<Point> BackupHistory::point(const QString &id, const QDateTime &latestFallback) const
{
    for (const Point &p : points(latestFallback))
        if (p.id == id)
            return p;
    return std::nullopt;
}

// The candidates for a point: the mirror's entries and each later run's kept
// ones, sorted by path, the earliest run first and the mirror last.
struct BackupHistory::Merge {
    struct Candidate {
        const QByteArray *path;
        int run; // kNever: the mirror
        qsizetype index;
    };
    // One path's candidates, [begin, end), with the first later run that kept
    // it and the first that kept it as something other than a folder.
    struct Group {
        size_t begin = 0, end = 0;
        int keptRun = kNever, otherRun = kNever;
    };

    const QList<Entry> &mirror;
    QList<const RunRecord *> records;
    std::vector<Candidate> candidates;
    QHash<QByteArray, int> created, metaRun; // path -> first later run that created it / recorded its metadata

    const Entry &entryOf(const Candidate &k) const
    {
        return k.run == kNever ? mirror.at(k.index) : records[k.run]->kept.at(k.index);
    }

    Group groupAt(size_t begin) const
    {
        Group group{begin, begin + 1};
        while (group.end < candidates.size() && *candidates[group.end].path == *candidates[begin].path)
            ++group.end;
        for (size_t k = begin; k < group.end; ++k) {
            if (candidates[k].run == kNever)
                continue;
            group.keptRun = std::min(group.keptRun, candidates[k].run);
            if (entryOf(candidates[k]).kind != EntryKind::Folder)
                group.otherRun = std::min(group.otherRun, candidates[k].run);
        }
        return group;
    }

    // A folder kept while it went on being one (the next state is a folder
    // too) only holds what changed in it: its mode and times are the store's
    // own. They come from the first state that is the folder itself, or a
    // record before it.
    const Candidate &ownFolderState(const Group &group) const
    {
        size_t own = group.begin;
        while (candidates[own].run != kNever && own + 1 < group.end
               && entryOf(candidates[own + 1]).kind == EntryKind::Folder)
            ++own;
        return candidates[own];
    }
};

BackupHistory::Merge BackupHistory::mergeFor(const QStringList &laterRuns, QList<Entry> &mirror) const
{
    Merge merge{mirror, {}, {}, {}, {}};
    qsizetype count = mirror.size();
    for (const QString &run : laterRuns) {
        merge.records.append(&record(run));
        count += merge.records.constLast()->kept.size();
    }
    merge.candidates.reserve(size_t(count));
    for (qsizetype i = 0; i < mirror.size(); ++i)
        merge.candidates.push_back({&mirror.at(i).path, kNever, i});
    for (int k = 0; k < merge.records.size(); ++k) {
        const RunRecord &run = *merge.records[k];
        for (qsizetype i = 0; i < run.kept.size(); ++i)
            merge.candidates.push_back({&run.kept.at(i).path, k, i});
        for (const QByteArray &path : run.created)
            merge.created.insert(path, std::min(merge.created.value(path, kNever), k));
        for (auto it = run.metadata.cbegin(); it != run.metadata.cend(); ++it)
            merge.metaRun.insert(it.key(), std::min(merge.metaRun.value(it.key(), kNever), k));
    }
    std::sort(merge.candidates.begin(), merge.candidates.end(), [](const Merge::Candidate &a, const Merge::Candidate &b) {
        if (*a.path != *b.path)
            return pathLess(*a.path, *b.path);
        return a.run < b.run;
    });
    return merge;
}

QList<Entry> BackupHistory::treeAt(const Point &point) const
{
    const QByteArray root = QFile::encodeName(m_destination);
    const QStringList &later = point.laterRuns;
    // The runs' folders are read while the mirror is.
    std::thread runs([this, &later] { prefetch(later); });
    QList<Entry> mirror = scanTree(root, {}, ScanDetail::KindsOnly);
    runs.join();
    const Merge merge = mergeFor(later, mirror);
    const std::vector<Merge::Candidate> &candidates = merge.candidates;

    // The folders above the current path that are present at the point, with
    // the first later run from which nothing below them existed then.
    struct Open {
        QByteArray path;
        int blocked;
    };
    QList<Open> stack;
    QList<Entry> tree;
    tree.reserve(mirror.size());
    for (size_t c = 0; c < candidates.size();) {
        const Merge::Group group = merge.groupAt(c);
        c = group.end;
        const QByteArray path = *candidates[group.begin].path; // shared: the entry it belongs to moves below
        while (!stack.isEmpty() && !isInside(path, stack.constLast().path))
            stack.removeLast();
        const qsizetype slash = path.lastIndexOf('/');
        if (slash >= 0 && (stack.isEmpty() || stack.constLast().path.size() != slash))
            continue; // its folder did not exist at the point
        const int createdRun = merge.created.value(path, kNever);
        const int gone = std::min(stack.isEmpty() ? kNever : stack.constLast().blocked, createdRun);
        const Merge::Candidate &fromMirror = candidates[group.end - 1];
        int keptRun = group.keptRun;
        Entry entry;
        if (keptRun != kNever && keptRun <= gone) {
            const Merge::Candidate &first = candidates[group.begin];
            entry = merge.records[first.run]->kept.at(first.index);
            entry.keptBy = later.at(first.run);
            entry.diskPath = QFile::encodeName(runFolder(entry.keptBy)) + '/' + path;
            if (entry.kind == EntryKind::Folder) {
                const Merge::Candidate &own = merge.ownFolderState(group);
                keptRun = own.run;
                entry.diskPath = (own.run == kNever ? root : QFile::encodeName(runFolder(later.at(own.run)))) + '/' + path;
            }
        } else if (gone != kNever || fromMirror.run != kNever) {
            continue;
        } else {
            entry = std::move(mirror[fromMirror.index]);
            entry.diskPath = root + '/' + path;
        }
        if (const int m = merge.metaRun.value(path, kNever); m != kNever && m <= keptRun)
            entry.metadata = merge.records[m]->metadata.value(path);
        if (entry.kind == EntryKind::Folder)
            stack.append({path, std::min({gone, createdRun, group.otherRun})});
        tree.append(std::move(entry));
    }
    return tree;
}

std::optional<Entry> BackupHistory::entryAt(const QByteArray &path, const Point &point) const
{
    if (!isSafeRelativePath(path))
        return std::nullopt;
    QList<QByteArray> above;
    for (qsizetype slash = path.indexOf('/'); slash >= 0; slash = path.indexOf('/', slash + 1))
        above.append(path.left(slash));
    std::optional<Metadata> metadata;
    Entry entry;
    for (const QString &run : point.laterRuns) {
        const RunRecord &r = record(run);
        for (const QByteArray &a : above) {
            const auto kept = r.keptAt.constFind(a);
            if (r.created.contains(a) || (kept != r.keptAt.cend() && r.kept.at(*kept).kind != EntryKind::Folder))
                return std::nullopt;
        }
        if (!metadata && r.metadata.contains(path))
            metadata = r.metadata.value(path);
        if (const auto kept = r.keptAt.constFind(path); kept != r.keptAt.cend()) {
            entry = r.kept.at(*kept);
            entry.keptBy = run;
            entry.diskPath = QFile::encodeName(runFolder(run)) + '/' + path;
            break;
        }
        if (r.created.contains(path))
            return std::nullopt;
    }
    if (entry.diskPath.isEmpty()) {
        entry.path = path;
        entry.diskPath = QFile::encodeName(m_destination) + '/' + path;
    }
    entry.metadata = metadata;
    entry.size = -1;
    const EntryKind kind = entry.kind;
    if (!fillDetails(entry))
        return std::nullopt;
    if (!entry.keptBy.isEmpty())
        entry.kind = kind;
    return entry;
}

QList<BackupHistory::Version> BackupHistory::versionsOf(const QByteArray &path) const
{
    QList<Version> versions;
    for (const Point &point : points()) {
        const std::optional<Entry> entry = entryAt(path, point);
        if (!entry || entry->kind == EntryKind::Folder)
            continue;
        // One state: the same data on disk with the same metadata. The older
        // point is when it was backed up.
        const auto same = [&](const Version &v) {
            return v.entry.diskPath == entry->diskPath && v.entry.metadata.has_value() == entry->metadata.has_value()
                && (!entry->metadata
                    || (v.entry.metadata->mode == entry->metadata->mode
                        && v.entry.metadata->mtime.tv_sec == entry->metadata->mtime.tv_sec
                        && v.entry.metadata->mtime.tv_nsec == entry->metadata->mtime.tv_nsec));
        };
        const auto it = std::find_if(versions.begin(), versions.end(), same);
        if (it != versions.end())
            it->point = point;
        else
            versions.append({point, *entry});
    }
    return versions;
}

QList<Entry> BackupHistory::filtered(const QList<Entry> &tree, const QString &text)
{
    const QString needle = text.trimmed();
    if (needle.isEmpty())
        return tree;
    // Walked backwards: a folder is kept when anything after it inside it is.
    QList<bool> keep(tree.size(), false);
    QByteArray wantedBelow; // the last kept path: its folders are wanted
    for (qsizetype i = tree.size() - 1; i >= 0; --i) {
        const Entry &e = tree.at(i);
        if ((!wantedBelow.isEmpty() && isInside(wantedBelow, e.path)) || e.name().contains(needle, Qt::CaseInsensitive)) {
            keep[i] = true;
            wantedBelow = e.path;
        }
    }
    QList<Entry> out;
    for (qsizetype i = 0; i < tree.size(); ++i)
        if (keep.at(i))
            out.append(tree.at(i));
    return out;
}

QList<Entry> BackupHistory::subtree(const QList<Entry> &tree, const QByteArray &path)
{
    QList<Entry> out;
    auto it = std::lower_bound(tree.cbegin(), tree.cend(), path,
                               [](const Entry &e, const QByteArray &p) { return pathLess(e.path, p); });
    if (it == tree.cend() || it->path != path)
        return out;
    // Depth-first order: what a folder holds follows it.
    for (out.append(*it++); it != tree.cend() && isInside(it->path, path); ++it)
        out.append(*it);
    return out;
}

} // namespace cv::history
