#pragma once
// The backup at a point in time, as docs/backup-format.md lays it out: the
// mirror holds the latest run's state; each run that kept versions has a
// folder with what it replaced, what it created and the metadata it changed.
// The state right after run R is found by walking the runs after R in journal
// order. Paths are bytes throughout: a name that is not UTF-8 is shown
// readably but read, compared and restored as it is on disk.

#include "HistoryNames.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <sys/types.h>
#include <time.h>

#include <map>
#include <optional>

namespace cv::history {

enum class EntryKind { File, Folder, Link, Other };

// An entry's mode, owner and times at a point, where they differ from those
// of the entry on disk that holds its data.
struct Metadata {
    unsigned mode = 0; // permission bits
    uid_t uid = 0;
    gid_t gid = 0;
    struct timespec atime {};
    struct timespec mtime {};
};

struct Entry {
    QByteArray path;     // relative to the destination, "/" between names
    QByteArray diskPath; // where this state of the entry's data lies now
    EntryKind kind = EntryKind::Other;
    qint64 size = -1;      // bytes of a file or link, 0 for a folder; -1 not read yet
    qint64 modifiedMs = 0; // modification time, ms since the epoch, once read
    std::optional<Metadata> metadata; // from a run's record: wins over diskPath's own
    QString keptBy;        // the run folder holding the data; empty: the mirror

    QByteArray rawName() const;
    QString name() const;        // readable: see readableName
    QString readablePath() const;
    QDateTime modified() const { return QDateTime::fromMSecsSinceEpoch(modifiedMs); }
};

// UTF-8 names as they are; any byte that is not part of valid UTF-8 as
// "\xFC", so that two names differing only there never read alike.
QString readableName(const QByteArray &bytes);

} // namespace cv::history
Q_DECLARE_TYPEINFO(cv::history::Entry, Q_RELOCATABLE_TYPE);
namespace cv::history {

// One point to look at: the state right after a run.
struct Point {
    QString id;          // "latest", a run's id, or "before-<folder>" for the oldest old folder
    QDateTime time;      // when that state was backed up (the run's start, UTC); invalid when unknown
    bool failed = false; // the run that made it failed or was interrupted
    bool latest = false;
    QStringList laterRuns; // the run folders after it, in the order they ran

    bool isLatest() const { return latest; }
};

inline constexpr const char *kLatestPointId = "latest";

// Labels for a list of points, in the same order: "Backup of Tue 8 Dec, 09:30",
// to the second (then with the year) where two would read alike; a failed
// run's point says so. Times are shown in the local time zone.
QStringList pointLabels(const QList<Point> &points);

class BackupHistory
{
public:
    explicit BackupHistory(QString destination);

    const QString &destination() const { return m_destination; }

    // The version folders on disk with a run's name, oldest name first.
    QStringList stamps() const;

    // The points that can be rebuilt, newest first, the latest backup first.
    // `latestFallback` dates the latest when no journal does.
    QList<Point> points(const QDateTime &latestFallback = {}) const;
    std::optional<Point> point(const QString &id, const QDateTime &latestFallback = {}) const;

    // The whole backup at a point, sorted by path (a folder before what it
    // holds). Kinds only: sizes and times come with fillDetails.
    QList<Entry> treeAt(const Point &point) const;
    // One path at a point; no value when it did not exist then.
    std::optional<Entry> entryAt(const QByteArray &path, const Point &point) const;

    // Each distinct state one file had at the points, newest first, with the
    // point it was backed up at (the newest point that shows it).
    struct Version {
        Point point;
        Entry entry;
    };
    QList<Version> versionsOf(const QByteArray &path) const;

    // The entries whose name contains `text` (ignoring case) and the folders
    // above them, still sorted. An empty text keeps everything.
    static QList<Entry> filtered(const QList<Entry> &tree, const QString &text);
    // The entries at or below `path` in a sorted tree: the entry itself first.
    static QList<Entry> subtree(const QList<Entry> &tree, const QByteArray &path);

private:
    struct RunRecord {
        QList<Entry> kept;                   // what the run's folder holds
        QHash<QByteArray, qsizetype> keptAt; // path -> index in kept
        QSet<QByteArray> created;
        QHash<QByteArray, Metadata> metadata;
        bool empty = true;
    };
    struct Merge; // every state of every path at a point (BackupHistory.cpp)
    Merge mergeFor(const QStringList &laterRuns, QList<Entry> &mirror) const;
    RunRecord readRecord(const QString &run) const;
    const RunRecord &record(const QString &run) const;
    void prefetch(const QStringList &runs) const;
    QString runFolder(const QString &run) const;

    QString m_destination;
    // A map: what record() returned stays where it is as others are read.
    mutable std::map<QString, RunRecord> m_records;
};

enum class ScanDetail { KindsOnly, FileSizes, All };

// Every entry below `root`, relative and unsorted, leaving out a top-level
// `skipTopLevel` and files named like an interrupted copy. Links are not
// followed.
QList<Entry> scanTree(const QByteArray &root, const QByteArray &skipTopLevel = {},
                      ScanDetail detail = ScanDetail::All);

// Reads an entry's size and time when they are not known yet; false when it
// has gone.
bool fillDetails(Entry &entry);

// The paths a run's record lists: complete entries only, relative, never
// leaving the destination.
QList<QByteArray> readCreatedRecord(const QString &versionFolder);
// The metadata records of a run: complete, well-formed records only.
QHash<QByteArray, Metadata> readMetadataRecord(const QString &versionFolder);


} // namespace cv::history
