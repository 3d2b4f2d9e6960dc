#pragma once
// The engine's side of earlier versions: the run's place in the journal and
// its own folder, removing versions older than the user's limit (and, on a
// full disk, the oldest ones), leftovers of dead runs, and the low-space
// warning.

#include "HistoryNames.h"

#include <QDateTime>
#include <QStringList>
#include <QVariantMap>

#include <optional>

namespace cv::history {

// The version folders in the order of their runs, oldest first: folders of
// the form YYYY-MM-DD-HHMMSS no journal line names (from before the
// journal) by name, then those of the journal's runs. Names only.
QStringList versionFolders(const QString &destination);

// Removes the version folders whose run started more than `keepDays` days
// before `now`, oldest first, with one log line each, and their runs'
// journal lines. The newest folder stays whatever its age, and so does
// everything that is not a version folder (the mirror, names of any other
// form). keepDays 0 keeps all. Returns the folders removed.
QStringList pruneVersions(const QString &destination, int keepDays, const QDateTime &now, const LogSink &log);

// For a disk that is full: removes the oldest version folders, one log line
// each, until one gave room back; never the newest one nor `current` (this
// run's). Returns the times of the runs whose folders went; *freedSpace
// tells whether any room came back.
QStringList removeOldestVersions(const QString &destination, const QString &current, const LogSink &log,
                                 bool *freedSpace = nullptr);

// Temporary files of copies that ended without cleaning up (.ditto-<pid>-<n>)
// in the folders of the runs named; only for runs no process works for any more.
void sweepLeftovers(const QString &destination, const QStringList &ids, const LogSink &log);

// The share of the disk holding `path` that is free to us, 0 to 1.
std::optional<double> freeShare(const QString &path);
inline constexpr double kLowSpaceShare = 0.10;
// Logs a warning when less than 10 % is free; true when it did.
bool warnIfLowOnSpace(const QString &destination, const LogSink &log,
                      std::optional<double> share = std::nullopt);

// True for output of a copy that failed for lack of room.
bool reportsNoSpace(const QString &output);

// One run's versions, from its start to its end.
class RunVersions
{
public:
    // Versions are kept when the defaults do not turn them off and the
    // configuration names a destination.
    static RunVersions forRun(const std::optional<QVariantMap> &configuration,
                              const std::optional<QVariantMap> &defaults);

    bool enabled() const { return m_settings.enabled && !m_destination.isEmpty(); }
    const QString &destination() const { return m_destination; }
    // The run's journal id, once begun; empty where the destination was missing.
    const QString &id() const { return m_id; }
    // This run's version folder, once begun with versions on.
    QString versionsFolder() const;

    // Before the copy: leftovers of dead runs swept, expired versions
    // removed (when on), the run written to the journal (its folder made,
    // room made for it on a full disk) and CORVANTIS_VERSIONS_DIR set or
    // removed. A missing destination is left to the script to report. False,
    // with a one-line reason, when the run cannot be recorded.
    bool begin(const QDateTime &now, const LogSink &log, QString *why);
    // After a copy that failed for lack of room: the oldest folder removed
    // when one may go. True when the copy is worth trying again.
    bool makeRoom(const LogSink &log);
    // What makeRoom removed, for the notice: "the backups of <times>", empty when nothing.
    QString removedForRoom() const;
    // However the run ended: the journal's end line, then the low-space warning.
    void end(bool success, const QDateTime &now, const LogSink &log);

private:
    QString m_destination;
    QString m_id;
    QStringList m_removedForRoom;
    HistorySettings m_settings;
};

} // namespace cv::history
