#include "Retention.h"

#include "Journal.h"
#include "Names.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#include <cstring>
#include <string_view>
#include <filesystem>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace cv::history {

namespace {

int makeRemovable(const char *path, const struct stat *st, int type, struct FTW *)
{
    // A kept folder may be read-only, which would stop its removal.
    if (type == FTW_D || type == FTW_DNR)
        chmod(path, (st->st_mode & 07777) | S_IRWXU);
    return 0;
}

bool removeFolder(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    nftw(name.constData(), makeRemovable, 32, FTW_PHYS);
    std::error_code error;
    std::filesystem::remove_all(std::filesystem::path(name.toStdString()), error);
    return !error;
}

struct Folder {
    QString name;
    QDateTime start; // local for the folders from before the journal
};

bool isFolder(const QString &path)
{
    struct stat st;
    return lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

QList<Folder> foldersInRunOrder(const QString &destination)
{
    QList<Folder> folders;
    const QList<JournalRun> runs = readJournal(destination);
    QSet<QString> journalled;
    for (const JournalRun &run : runs)
        journalled.insert(run.id);
    QStringList older = QDir(versionsRoot(destination)).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden,
                                                                  QDir::Name);
    for (const QString &name : older) {
        const auto time = timeOfStamp(name);
        if (time && !journalled.contains(name) && isFolder(runFolder(destination, name)))
            folders.append({name, *time});
    }
    for (const JournalRun &run : runs) {
        if (run.versions && isFolder(runFolder(destination, run.id)))
            folders.append({run.id, run.start});
    }
    return folders;
}

QString describe(const Folder &folder)
{
    return folder.start.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

bool removeVersionFolder(const QString &destination, const Folder &folder, const QString &why, const LogSink &log)
{
    const QString path = runFolder(destination, folder.name);
    if (!removeFolder(path)) {
        if (log)
            log(QStringLiteral("Could not remove all of the earlier versions in '%1'.").arg(path));
        return false;
    }
    if (log)
        log(QStringLiteral("Removed the earlier versions kept by the backup of %1 (%2): %3")
                .arg(describe(folder), why, path));
    if (const cv::Result<> dropped = dropFromJournal(destination, {folder.name}); !dropped && log)
        log(QStringLiteral("Could not update the backup's history: %1").arg(dropped.reason()));
    return true;
}

// Kept files whose only name is in the folder: what removing it gives back
// (a run's own small records aside).
qint64 bytesFreedByRemoving(const QString &folder)
{
    static thread_local qint64 total;
    total = 0;
    nftw(QFile::encodeName(folder).constData(), [](const char *path, const struct stat *st, int type, struct FTW *ftw) {
        const bool record = ftw->level == 1 && std::string_view(path + ftw->base).starts_with(format::kReservedPrefix);
        if (type == FTW_F && st->st_nlink == 1 && !record)
            total += qint64(st->st_blocks) * 512;
        return 0;
    }, 16, FTW_PHYS);
    return total;
}

bool isLeftoverName(const char *name)
{
    static const QRegularExpression pattern(QLatin1Char('^') + QRegularExpression::escape(QLatin1String(format::kTempPrefix))
                                            + QStringLiteral("[1-9][0-9]*-[0-9]+$"));
    return pattern.match(QString::fromLatin1(name)).hasMatch();
}

} // namespace

QStringList versionFolders(const QString &destination)
{
    QStringList names;
    for (const Folder &folder : foldersInRunOrder(destination))
        names.append(folder.name);
    return names;
}

QStringList pruneVersions(const QString &destination, int keepDays, const QDateTime &now, const LogSink &log)
{
    QStringList removed;
    if (keepDays <= 0)
        return removed;
    const QList<Folder> folders = foldersInRunOrder(destination);
    const QDateTime limit = now.addDays(-keepDays);
    const QString why = QStringLiteral("older than %1 days").arg(keepDays);
    for (qsizetype i = 0; i + 1 < folders.size(); ++i) { // the newest always stays
        if (folders[i].start >= limit)
            break;
        if (removeVersionFolder(destination, folders[i], why, log))
            removed.append(runFolder(destination, folders[i].name));
    }
    return removed;
}

QStringList removeOldestVersions(const QString &destination, const QString &current, const LogSink &log,
                                 bool *freedSpace)
{
    if (freedSpace)
        *freedSpace = false;
    QList<Folder> folders = foldersInRunOrder(destination);
    folders.removeIf([&](const Folder &f) { return f.name == current; });
    // The newest kept before this run stays: without it no earlier point
    // could be rebuilt at all. Folders that free nothing (runs that kept
    // nothing) go along until one does, so no copy is tried again in vain.
    QStringList removed;
    for (qsizetype i = 0; i + 1 < folders.size(); ++i) {
        const qint64 freed = bytesFreedByRemoving(runFolder(destination, folders[i].name));
        if (!removeVersionFolder(destination, folders[i], QStringLiteral("to make room on a full disk"), log))
            break;
        removed.append(describe(folders[i]));
        if (freed > 0) {
            if (freedSpace)
                *freedSpace = true;
            break;
        }
    }
    return removed;
}

void sweepLeftovers(const QString &destination, const QStringList &ids, const LogSink &log)
{
    for (const QString &id : ids) {
        // Paths as bytes: a folder name that is not UTF-8 must not stop the removal.
        static thread_local QByteArrayList found;
        found.clear();
        const QByteArray root = QFile::encodeName(runFolder(destination, id));
        nftw(root.constData(), [](const char *path, const struct stat *st, int type, struct FTW *ftw) {
            if (type == FTW_F && S_ISREG(st->st_mode) && isLeftoverName(path + ftw->base))
                found.append(QByteArray(path));
            return 0;
        }, 16, FTW_PHYS);
        for (const QByteArray &path : std::as_const(found)) {
            if (::unlink(path.constData()) == 0 && log)
                log(QStringLiteral("Removed an unfinished copy left by an earlier run: %1")
                        .arg(QString::fromUtf8(path)));
        }
    }
}

std::optional<double> freeShare(const QString &path)
{
    struct statvfs fs;
    if (statvfs(QFile::encodeName(path).constData(), &fs) != 0 || fs.f_blocks == 0)
        return std::nullopt;
    return double(fs.f_bavail) / double(fs.f_blocks);
}

bool warnIfLowOnSpace(const QString &destination, const LogSink &log, std::optional<double> share)
{
    if (!share)
        share = freeShare(destination);
    if (!share || *share >= kLowSpaceShare)
        return false;
    if (log)
        log(QStringLiteral("Warning: only %1 % of the disk holding '%2' is free after this backup.")
                .arg(*share * 100.0, 0, 'f', 1)
                .arg(destination));
    return true;
}

bool reportsNoSpace(const QString &output)
{
    // The copy's lines end in the system's own words for the error.
    return output.contains(QLatin1String("No space left on device"))
        || output.contains(QLatin1String("Disk quota exceeded"));
}

RunVersions RunVersions::forRun(const std::optional<QVariantMap> &configuration,
                                const std::optional<QVariantMap> &defaults)
{
    RunVersions run;
    run.m_settings = HistorySettings::fromDefaults(defaults.value_or(QVariantMap()));
    if (!configuration)
        return run;
    const QVariant destination = configuration->value(QLatin1String(names::kDestinationKey));
    if (destination.typeId() == QMetaType::QString)
        run.m_destination = destination.toString();
    return run;
}

QString RunVersions::versionsFolder() const
{
    return enabled() && !m_id.isEmpty() ? runFolder(m_destination, m_id) : QString();
}

bool RunVersions::begin(const QDateTime &now, const LogSink &log, QString *why)
{
    qunsetenv(format::kVersionsDirVariable);
    // Nothing is made on a disk that is not there; the script says so.
    if (m_destination.isEmpty() || !QFileInfo(m_destination).isDir())
        return true;
    QStringList dead;
    for (const JournalRun &run : readJournal(m_destination)) {
        if (run.outcome == RunOutcome::Interrupted && run.versions)
            dead.append(run.id);
    }
    sweepLeftovers(m_destination, dead, log);
    if (enabled())
        pruneVersions(m_destination, m_settings.keepDays, now, log);
    for (;;) {
        const cv::Result<QString> id = beginRun(m_destination, now.toUTC(), enabled());
        if (id) {
            m_id = *id;
            break;
        }
        if (enabled() && reportsNoSpace(id.reason()) && makeRoom(log))
            continue;
        if (why)
            *why = QStringLiteral("No backup made: the run could not be recorded in the backup's history (%1).")
                       .arg(id.reason());
        return false;
    }
    if (enabled())
        qputenv(format::kVersionsDirVariable, QFile::encodeName(versionsFolder()));
    return true;
}

bool RunVersions::makeRoom(const LogSink &log)
{
    if (!enabled())
        return false;
    bool freed = false;
    m_removedForRoom.append(removeOldestVersions(m_destination, m_id, log, &freed));
    // Only what gave room back makes another try worth it.
    return freed;
}

QString RunVersions::removedForRoom() const
{
    if (m_removedForRoom.isEmpty())
        return {};
    return QStringLiteral("To make room, the earlier versions kept by the %1 %2 were removed.")
        .arg(m_removedForRoom.size() == 1 ? QStringLiteral("backup of") : QStringLiteral("backups of"),
             m_removedForRoom.join(QStringLiteral(", ")));
}

void RunVersions::end(bool success, const QDateTime &now, const LogSink &log)
{
    if (m_id.isEmpty())
        return;
    // Every process of the run has gone: what they left unfinished goes.
    if (enabled())
        sweepLeftovers(m_destination, {m_id}, log);
    if (const cv::Result<> ended = endRun(m_destination, m_id, now.toUTC(), success); !ended && log)
        log(QStringLiteral("Could not record the end of this run in the backup's history: %1").arg(ended.reason()));
    m_id.clear();
    warnIfLowOnSpace(m_destination, log);
}

} // namespace cv::history
