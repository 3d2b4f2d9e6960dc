#pragma once
// When a scheduled backup was missed (the machine was off or asleep at its
// minute) and is to be caught up. Pure functions of the schedule, the clock,
// the marker's time and the last attempt; the agent supplies the inputs.

#include "Result.h"
#include "Settings.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QTime>
#include <QVariantMap>

#include <array>
#include <chrono>
#include <optional>

namespace cv::catchup {

// The schedule as the settings hold it (Settings.h).
using settings::DayFlags;
using settings::SavedSchedule;
using settings::savedScheduleFrom;

// The time of day of the configurator's archived "time" value.
std::optional<QTime> unarchiveTimeOfDay(const QByteArray &data);

// The latest local date and time at or before now on one of the days at the
// time, as cron fires it: on the day of a spring-forward change a time in the
// skipped hour fires as the clocks go forward. None without a day.
std::optional<QDateTime> mostRecentScheduledTime(const DayFlags &days, QTime time, const QDateTime &now);

// Cron has this long after the scheduled minute before a run counts as missed.
inline constexpr std::chrono::minutes kCatchUpGrace{10};

enum class Verdict {
    Run,
    TurnedOff,        // the user does not want missed backups caught up
    NoSchedule,       // nothing saved, removed, or no day or time
    RunNowOnly,
    NotYetMissed,     // within the grace after the scheduled time (or none yet)
    BackedUpSince,    // the marker is at or after the scheduled time
    AlreadyAttempted, // a catch-up was started for this scheduled time (or a later one)
    FutureRecord,     // the marker or the record is dated ahead of the clock: nothing can be told
    UnusableRecord,   // a record could not be read (set by the agent)
    RunInProgress,    // another run holds the run lock (set by the agent)
};

struct Decision {
    Verdict verdict = Verdict::NoSchedule;
    QDateTime scheduledTime; // the most recent scheduled time, when there is one
    bool run() const { return verdict == Verdict::Run; }
};

// carriedMiss: a missed time of the schedule before a save (see
// kCatchUpMissedFileName); it counts as the most recent scheduled time when
// it is later than the schedule's own.
Decision decide(const SavedSchedule &schedule, const QDateTime &now, const std::optional<QDateTime> &lastBackup,
                const std::optional<QDateTime> &lastAttemptFor,
                const std::optional<QDateTime> &carriedMiss = std::nullopt);

// The longest stretch between two consecutive scheduled days of the week, in
// days (7 for a single day); 0 without a day.
int longestGapInDays(const DayFlags &days);

// A record of one time (the attempt record, the carried miss).
struct TimeRecord {
    enum class State { Absent, Present, Unusable };
    State state = State::Absent;
    std::optional<QDateTime> time; // when Present
    QString problem;               // when Unusable, worded to follow the file's name
};

// Never waits: a FIFO, a device or a folder in the file's place is Unusable
// at once, as is a file that holds no time.
TimeRecord readTimeRecord(const QString &path);
// The time when the record is Present; none otherwise.
std::optional<QDateTime> readAttempt(const QString &path);
// Replaces the record atomically (readable by the user whatever the old
// file's mode) and reads it back; why not, when it could not be written or
// does not read back.
cv::Result<> writeAttempt(const QString &path, const QDateTime &scheduledTime);

} // namespace cv::catchup
