#pragma once
// Getting entries of the backup back: into a folder of the user's choice
// ("Restore To"), or where the client keeps them ("Restore to Original
// Place"). Neither ever writes over or deletes anything: a name that exists
// gets " (restored)", and current data is moved aside, not removed. Paths of
// the backup are bytes; folders the user picks are QStrings.

#include "BackupHistory.h"
#include "FileCopy.h"
#include "Result.h"

#include <QDateTime>
#include <QStringList>

#include <chrono>
#include <optional>

namespace cv::history {

struct RestoreResult {
    bool cancelled = false;
    QString failure;       // why the restore stopped; empty when it did not
    QStringList errors;    // entries that could not be restored, each once (the rest were)
    QStringList restored;  // the top-level paths written
    QStringList setAside;  // original place: where the current entries went
    int files = 0;         // written whole and kept
    qint64 bytes = 0;
    bool ok() const { return !cancelled && failure.isEmpty() && errors.isEmpty(); }
};

// A name in `folder` that nothing has: `name` itself, else "name (restored)",
// else "name (restored 2)", … A file's extension stays at the end.
QByteArray unusedNameIn(const QByteArray &folder, const QByteArray &name, bool isFolder);

// The bytes of the files the selected paths hold at the point.
qint64 bytesToRestore(const QList<Entry> &tree, const QList<QByteArray> &selected);

// The folder offered for "Restore To": "~/Restored Mail <date>".
QString defaultRestoreFolder(const QDateTime &now);

// Why `target` may not receive a restore: it lies inside the backup (the
// version store included), where a restore would change earlier points.
// Empty when it may.
QString restoreTargetProblem(const QString &destination, const QString &target);

// Copies each selected path of `tree` (a tree at one point, sorted) with all
// it holds at that point into `targetFolder`, created when missing. Selected
// paths inside other selected folders come along with those.
RestoreResult restoreTo(const QList<Entry> &tree, const QList<QByteArray> &selected, const QString &targetFolder,
                        const ProgressCallback &progress = {});

// Where a client keeps what the backup holds.
struct ClientPlace {
    QString client;
    QString applicationName; // the name the backup script quits it by
    QString dataFolder;      // the destination holds this folder's content
    QString preferencesFile; // Apple Mail: its preferences file is copied beside
    // The original path of an entry of the backup.
    QByteArray originalPathFor(const QByteArray &relativePath) const;
    // For a client name of the configuration; no value for an unknown name.
    static std::optional<ClientPlace> forClient(const QString &client, const QString &home);
};

// Quits the client before its data is touched.
class ClientQuitter
{
public:
    virtual ~ClientQuitter() = default;
    // Succeeds once the client no longer runs.
    virtual Result<> quitAndWait(const QString &applicationName) = 0;
};

// Asks our osascript to quit the program, as the backup script does, then
// waits until no process of this user is that program any more.
class OsascriptQuitter : public ClientQuitter
{
public:
    // `keepWaiting` runs between looks (a window processes its events there)
    // and may answer false to give up.
    OsascriptQuitter(QString osascriptProgram, std::chrono::milliseconds limit,
                     std::function<bool()> keepWaiting = {});
    Result<> quitAndWait(const QString &applicationName) override;

    // The osascript the backup script would call: the system's, else ours
    // inside the installed engine.
    static QString findOsascript(const QString &installedEnginePath);

private:
    QString m_program;
    std::chrono::milliseconds m_limit;
    std::function<bool()> m_keepWaiting;
};

// Quits the client, copies the chosen state into a hidden sibling of each
// selected entry, and only when every copy is complete moves each current
// entry aside to "<name>.before-restore-<YYYYMMDD-HHMMSS>" and the copy in.
// On any failure or Cancel the copies are removed and the client's data is as
// it was. Nothing is touched unless the client has quit.
RestoreResult restoreToOriginalPlace(const QList<Entry> &tree, const QList<QByteArray> &selected,
                                     const ClientPlace &place,
                                     ClientQuitter &quitter, const QDateTime &now,
                                     const ProgressCallback &progress = {});

} // namespace cv::history
