#pragma once
// The configurator's settings (its user defaults, names::kDefaultsFile) as
// every program reads them: the keys, and the one reader of the saved
// schedule, which the configurator, the catch-up agent and the engine share.

#include <QDateTime>
#include <QTime>
#include <QVariantMap>

#include <array>
#include <optional>

namespace cv::settings {

inline constexpr const char *kEmailSource = "emailSource";
inline constexpr const char *kBackupDestination = "backupDestination";
inline constexpr const char *kVersion = "CVVersion";
inline constexpr const char *kTime = "time"; // the time picker's value, archived (TimeArchive.h)
inline constexpr const char *kLaunchClient = "launchClient";
inline constexpr const char *kScheduled = "scheduled";
inline constexpr const char *kRunNowOnly = "RunNowOnly";
inline constexpr const char *kDateFormat = "DateFormat";
inline constexpr const char *kCheckAtStartup = "SUCheckAtStartup";
inline constexpr const char *kScheduleStatus = "scheduleStatus";
// Whether missed backups are caught up; on when absent.
inline constexpr const char *kCatchUp = "CatchUpMissedBackups";
// The "History" preferences; absent keys mean the defaults (HistoryNames.h).
inline constexpr const char *kKeepVersions = "keepVersions";       // integer days, 0 = always
inline constexpr const char *kVersionsEnabled = "versionsEnabled"; // boolean

// Sunday first, as every walk over the days goes.
using DayFlags = std::array<bool, 7>;
inline constexpr const char *kDayKeys[7] = {"sunday", "monday", "tuesday", "wednesday", "thursday", "friday",
                                            "saturday"};

// What the settings say about the schedule.
struct SavedSchedule {
    bool catchUpWanted = true;
    bool scheduled = false;
    bool runNowOnly = false;
    DayFlags days{};
    std::optional<QTime> time; // none: no time stored, or one that cannot be read
    std::optional<QDateTime> pickerTime; // the full value "time" was archived from

    // A crontab line fires for it: saved, not for Run Now only, a day and a time.
    bool firesByItself() const;
};

// Reads the catch-up preference, "scheduled", "RunNowOnly", the seven day
// keys and "time". A flag is a boolean or an integer; values of any other
// type count as absent.
SavedSchedule savedScheduleFrom(const QVariantMap &settings);

} // namespace cv::settings
