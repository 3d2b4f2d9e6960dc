#pragma once
// The backup at a point in time. The destination folder is the mirror of the
// latest run; each run that replaced something kept the old entries in a
// version folder named by its start, plus a record of what it newly created.
// The backup as it was just before run S is, for every path, the entry kept
// by the first run at or after S that kept it, else the mirror's; paths that
// a run at or after S created (or that lay below something it created or
// replaced by a non-folder) did not exist then.

#include "HistoryNames.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

#include <optional>

namespace cv::history {

enum class EntryKind { File, Folder, Link, Other };

struct Entry {
    QString path;     // relative to the destination, "/" between names
    QString diskPath; // where this state of the entry lies now
    EntryKind kind = EntryKind::Other;
    qint64 size = -1;       // bytes of a file or link, 0 for a folder; -1 not read yet
    qint64 modifiedMs = 0;  // modification time, ms since the epoch, once read
    QString keptBy;         // stamp of the version folder holding it; empty: the mirror

    QString name() const { return path.section(QLatin1Char('/'), -1); }
    QDateTime modified() const { return QDateTime::fromMSecsSinceEpoch(modifiedMs); }
};

} // namespace cv::history
Q_DECLARE_TYPEINFO(cv::history::Entry, Q_RELOCATABLE_TYPE);
namespace cv::history {

// One point to look at: the latest backup, or the moment before a run.
struct Point {
    QString stamp;   // empty for the latest backup
    QDateTime time;  // the run's start; for the latest, the last backup's time if known
    qint64 files = 0; // what that run kept: entries other than folders
    qint64 bytes = 0;
    bool isLatest() const { return stamp.isEmpty(); }
};

class BackupHistory
{
public:
    explicit BackupHistory(QString destination);

    const QString &destination() const { return m_destination; }

    // The version folders on disk (well-formed names only), oldest first.
    QStringList stamps() const;

    // "Latest backup" first (with `latestTime`), then every run that kept
    // something, newest first, with what it kept.
    QList<Point> points(const QDateTime &latestTime = {}) const;

    // The whole backup at a point (empty stamp: the latest), sorted by path,
    // so a folder comes before what it holds. Names and kinds only: sizes and
    // times are read for the entries shown (fillDetails).
    QList<Entry> treeAt(const QString &stamp) const;

    // One path at a point; no value when it did not exist then.
    std::optional<Entry> entryAt(const QString &path, const QString &stamp) const;

    // The entries whose name contains `text` (ignoring case) and the folders
    // above them, still sorted. An empty text keeps everything.
    static QList<Entry> filtered(const QList<Entry> &tree, const QString &text);

    // The entries at or below `path` in a sorted tree: the entry itself first.
    static QList<Entry> subtree(const QList<Entry> &tree, const QString &path);

private:
    // What a run kept, read once: a finished run's folder never changes.
    const QList<Entry> &keptBy(const QString &stamp) const;

    QString m_destination;
    mutable QHash<QString, QList<Entry>> m_kept;
};

enum class ScanDetail { KindsOnly, FileSizes, All };

// Every entry below `root`, relative and unsorted; `skipTopLevel` names a
// top-level entry to leave out. Symbolic links are not followed. Sizes and
// times are read as `detail` asks.
QList<Entry> scanTree(const QString &root, const QString &skipTopLevel = {}, ScanDetail detail = ScanDetail::All,
                      bool withDiskPaths = true);

// Reads an entry's size and time when they are not known yet; false when it
// has gone.
bool fillDetails(Entry &entry);

// The paths a run's record lists: complete entries only, relative, never
// leaving the destination.
QStringList readCreatedRecord(const QString &versionFolder);

} // namespace cv::history
