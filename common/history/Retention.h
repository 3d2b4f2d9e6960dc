#pragma once
// The engine's side of earlier versions: where a run keeps them, and, after
// a successful run, removing those older than the user's limit and warning
// when the destination's disk runs low.

#include "HistoryNames.h"

#include <QDateTime>
#include <QStringList>
#include <QVariantMap>

#include <optional>

namespace cv::history {

// Removes the version folders whose run started more than `keepDays` days
// before `now`, oldest first, with one log line each. The newest folder
// stays whatever its age, and so does everything that is not a version
// folder (the mirror, names of any other form). keepDays 0 keeps all.
// Returns the folders removed.
QStringList pruneVersions(const QString &destination, int keepDays, const QDateTime &now, const LogSink &log);

// The share of the disk holding `path` that is free to us, 0 to 1.
std::optional<double> freeShare(const QString &path);
inline constexpr double kLowSpaceShare = 0.10;
// Logs a warning when less than 10 % is free; true when it did.
bool warnIfLowOnSpace(const QString &destination, const LogSink &log,
                      std::optional<double> share = std::nullopt);

// One run's versions, decided at its start.
class RunVersions
{
public:
    // Versions are kept when the defaults do not turn them off and the
    // configuration names a destination.
    static RunVersions forRun(const std::optional<QVariantMap> &configuration,
                              const std::optional<QVariantMap> &defaults, const QDateTime &start);

    bool enabled() const { return !m_folder.isEmpty(); }
    const QString &versionsFolder() const { return m_folder; }
    // Sets CORVANTIS_VERSIONS_DIR for the script, or removes it when off.
    void exportToEnvironment() const;
    // After a successful run: prune (when versions are on), then the
    // free-space check.
    void finishSuccessfulRun(const QDateTime &now, const LogSink &log) const;

private:
    QString m_destination;
    QString m_folder;
    HistorySettings m_settings;
};

} // namespace cv::history
