#pragma once
// The two lines of status under the schedule: what is configured, and when
// the last backup happened in the date format chosen in the preferences.

#include "Schedule.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>

namespace cv::configurator {

QString configuredSentence(const QString &client, const DayFlags &days, const QTime &time);
QString runNowOnlySentence(const QString &client);

// The four titles of the "DateFormat" default, in index order.
const QStringList &dateFormatTitles();
// The index of "MM/DD/YY with 24hr clock", which the preferences store when
// they first open.
inline constexpr int kDefaultDateFormat = 3;
// Index 0 to 3; anything that is not exactly one of the titles (nothing
// stored yet above all) gives kDefaultDateFormat.
int getDateFormat(const QString &storedTitle);
// "05/12/2026 at 02:05 PM" and the other three, in the local time zone.
QString formatLastBackup(const QDateTime &when, int formatIndex);

// The marker's modification time, following a link; none without a file.
std::optional<QDateTime> lastBackupTime(const QString &markerPath);
// The last-backup line: the formatted time, or "Unknown".
QString lastBackupText(const QString &markerPath, int formatIndex);

} // namespace cv::configurator
