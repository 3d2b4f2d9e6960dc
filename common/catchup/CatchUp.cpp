#include "CatchUp.h"
#include "TimeArchive.h"

#include <QFile>
#include <QIODevice>
#include <QSaveFile>
#include <QTimeZone>

namespace cv::catchup {

namespace {

// The configurator's day keys, Sunday first.
constexpr const char *kDayKeys[7] = {"sunday", "monday", "tuesday", "wednesday", "thursday", "friday", "saturday"};

// A flag as the configurator stores it (boolean or integer); anything else is off.
bool flag(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::LongLong:
    case QMetaType::Int:
        return value.toLongLong() != 0;
    default:
        return false;
    }
}

int sundayFirst(const QDate &date) { return date.dayOfWeek() % 7; }

// The local date and time cron fires at for a time of day on one date.
QDateTime firingTime(const QDate &date, QTime time)
{
    QDateTime at(date, time);
    if (!at.isValid() || at.time() != time) {
        // The time lies in the hour the clocks skip: cron fires as they jump.
        const QTimeZone zone = QTimeZone::systemTimeZone();
        const QTimeZone::OffsetData jump = zone.nextTransition(QDateTime(date, QTime(0, 0)));
        if (jump.atUtc.isValid() && jump.atUtc.toLocalTime().date() == date)
            return jump.atUtc.toLocalTime();
        return at;
    }
    // A time the clocks pass twice fires the first time only.
    const QDateTime hourEarlier = at.addSecs(-3600);
    if (hourEarlier.date() == date && hourEarlier.time() == time)
        return hourEarlier;
    return at;
}

} // namespace

bool SavedSchedule::firesByItself() const
{
    if (!scheduled || runNowOnly || !time)
        return false;
    for (bool day : days)
        if (day)
            return true;
    return false;
}

std::optional<QTime> unarchiveTimeOfDay(const QByteArray &data)
{
    const auto when = unarchiveDateTime(data);
    return when ? std::optional<QTime>(when->time()) : std::nullopt;
}

SavedSchedule savedScheduleFrom(const QVariantMap &settings)
{
    SavedSchedule s;
    const QVariant wanted = settings.value(QLatin1String(kCatchUpPreferenceKey));
    s.catchUpWanted = !wanted.isValid() || flag(wanted);
    s.scheduled = flag(settings.value(QStringLiteral("scheduled")));
    s.runNowOnly = flag(settings.value(QStringLiteral("RunNowOnly")));
    for (int i = 0; i < 7; ++i)
        s.days[i] = flag(settings.value(QLatin1String(kDayKeys[i])));
    const QVariant time = settings.value(QStringLiteral("time"));
    if (time.typeId() == QMetaType::QByteArray)
        s.time = unarchiveTimeOfDay(time.toByteArray());
    return s;
}

std::optional<QDateTime> mostRecentScheduledTime(const DayFlags &days, QTime time, const QDateTime &now)
{
    const QDateTime localNow = now.toLocalTime();
    // Eight dates: today's time may still be ahead, and a week back has it again.
    for (int back = 0; back <= 7; ++back) {
        const QDate date = localNow.date().addDays(-back);
        if (!days[sundayFirst(date)])
            continue;
        const QDateTime at = firingTime(date, time);
        if (at <= localNow)
            return at;
    }
    return std::nullopt;
}

Decision decide(const SavedSchedule &schedule, const QDateTime &now, const std::optional<QDateTime> &lastBackup,
                const std::optional<QDateTime> &lastAttemptFor)
{
    Decision d;
    if (!schedule.catchUpWanted) {
        d.verdict = Verdict::TurnedOff;
        return d;
    }
    if (schedule.scheduled && schedule.runNowOnly) {
        d.verdict = Verdict::RunNowOnly;
        return d;
    }
    if (!schedule.firesByItself()) {
        d.verdict = Verdict::NoSchedule;
        return d;
    }
    const std::optional<QDateTime> scheduled = mostRecentScheduledTime(schedule.days, *schedule.time, now);
    if (!scheduled) {
        d.verdict = Verdict::NotYetMissed;
        return d;
    }
    d.scheduledTime = *scheduled;
    if (now <= scheduled->addSecs(std::chrono::seconds(kCatchUpGrace).count()))
        d.verdict = Verdict::NotYetMissed;
    else if (lastBackup && *lastBackup >= *scheduled)
        d.verdict = Verdict::BackedUpSince;
    // A record from a later time (the clock was set back) counts as attempted too.
    else if (lastAttemptFor && *lastAttemptFor >= *scheduled)
        d.verdict = Verdict::AlreadyAttempted;
    else
        d.verdict = Verdict::Run;
    return d;
}

int longestGapInDays(const DayFlags &days)
{
    int longest = 0;
    for (int i = 0; i < 7; ++i) {
        if (!days[i])
            continue;
        int gap = 1;
        while (!days[(i + gap) % 7])
            ++gap;
        longest = std::max(longest, gap);
    }
    return longest;
}

std::optional<QDateTime> readAttempt(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QDateTime when = QDateTime::fromString(QString::fromLatin1(file.read(64).trimmed()), Qt::ISODateWithMs);
    if (!when.isValid())
        return std::nullopt;
    return when;
}

bool writeAttempt(const QString &path, const QDateTime &scheduledTime)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(scheduledTime.toUTC().toString(Qt::ISODateWithMs).toLatin1() + '\n');
    return file.commit();
}

} // namespace cv::catchup
