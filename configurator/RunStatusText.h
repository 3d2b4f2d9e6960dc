#pragma once
// The line under "Last backup:" that says when backups are not happening:
// the last run failed after the last success, or the last success is long
// past what the schedule promises.

#include "CatchUp.h"
#include "LastRun.h"

#include <QColor>
#include <QDateTime>
#include <QString>

#include <optional>

namespace cv::configurator {

// Dark enough to read on every shade of the main window's light gradient
// (contrast above 4.5:1).
inline const QColor kWarningTextColor{0x8B, 0x25, 0x00};

// The engine's record of its last run; none when missing or unreadable.
std::optional<LastRun> readLastRun(const QString &path);

// "Last run failed on <date>: <reason>" and/or "Backups are overdue.", one
// per line; empty when all is well. Dates in the last-backup line's format.
QString runWarningText(const std::optional<LastRun> &lastRun, const std::optional<QDateTime> &lastBackup,
                       const catchup::SavedSchedule &schedule, const QDateTime &now, int formatIndex);

} // namespace cv::configurator
