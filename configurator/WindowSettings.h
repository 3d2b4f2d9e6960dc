#pragma once
// The main window's settings as the configurator keeps them in its user
// defaults, and the configuration file it leaves for the engine.

#include "Names.h"
#include "Result.h"
#include "Schedule.h"
#include "Settings.h"
#include "TimeArchive.h"

#include <QDateTime>
#include <QString>

namespace cv::platform {
class UserDefaults;
}

namespace cv::configurator {

// The settings keys, as the window's code has always named them.
namespace keys = cv::settings;

struct WindowSettings {
    QString client = QString::fromUtf8(names::kAppleMail);
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
// The saved schedule, read as every program reads it (Settings.h).
settings::SavedSchedule savedSchedule(const platform::UserDefaults &defaults);

// The time picker's value as data that brings back the full date and time.
using cv::archiveDateTime;
using cv::unarchiveDateTime;

// Writes Config.plist atomically. On failure the reason is a sentence for
// the user and the old file is left as it was.
cv::Result<> writeConfiguration(const QString &path, const Schedule &schedule);

} // namespace cv::configurator
