#pragma once
// The main window's settings as the configurator keeps them in its user
// defaults, and the configuration file it leaves for the engine.

#include "Result.h"
#include "Schedule.h"
#include "TimeArchive.h"

#include <QDateTime>
#include <QString>

namespace cv::platform {
class UserDefaults;
}

namespace cv::configurator {

namespace keys {
inline constexpr const char *kEmailSource = "emailSource";
inline constexpr const char *kBackupDestination = "backupDestination";
inline constexpr const char *kVersion = "CVVersion";
inline constexpr const char *kTime = "time";
inline constexpr const char *kLaunchClient = "launchClient";
inline constexpr const char *kScheduled = "scheduled";
inline constexpr const char *kRunNowOnly = "RunNowOnly";
inline constexpr const char *kDateFormat = "DateFormat";
inline constexpr const char *kCheckAtStartup = "SUCheckAtStartup";
inline constexpr const char *kScheduleStatus = "scheduleStatus";
} // namespace keys

struct WindowSettings {
    QString client = QStringLiteral("Apple Mail");
    QString destination = QStringLiteral("/");
    DayFlags days{};
    std::optional<QDateTime> time; // none: the picker keeps its value
    bool launchClient = false;
    QString currentConfiguration;

    Schedule schedule(const QTime &fallbackTime) const;
};

// Stores every key in the window's order and flushes; fails when the file
// could not be written.
Result<> savePreferences(platform::UserDefaults &defaults, const WindowSettings &settings);
WindowSettings loadPreferences(const platform::UserDefaults &defaults);

// The time picker's value as data that brings back the full date and time.
using cv::archiveDateTime;
using cv::unarchiveDateTime;

// Writes Config.plist atomically. On failure, why is set to a sentence for
// the user and the old file is left as it was.
bool writeConfiguration(const QString &path, const Schedule &schedule, QString *why);

} // namespace cv::configurator
