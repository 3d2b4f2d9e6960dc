#include "CatchUp.h"
#include "SmallFile.h"
#include "TimeArchive.h"

#include <QFile>
#include <QIODevice>
#include <QSaveFile>
#include <QTimeZone>

namespace cv::catchup {

namespace {

int sundayFirst(const QDate &date) { return date.dayOfWeek() % 7; }

// The local date and time cron fires at for a time of day on one date.
QDateTime firingTime(const QDate &date, QTime time)
{
    QDateTime at(date, time);
    if (!at.isValid() || at.time() != time) {
        // The time lies in the hour the clocks skip: cron fires as they jump.
        // Looked for from the day before, since midnight itself may be skipped.
        const QTimeZone zone = QTimeZone::systemTimeZone();
        const QTimeZone::OffsetData jump = zone.nextTransition(QDateTime(date.addDays(-1), QTime(12, 0)));
        if (jump.atUtc.isValid() && jump.atUtc.toLocalTime().date() == date)
            return jump.atUtc.toLocalTime();
        return QDateTime();
    }
    // A time the clocks pass twice fires the first time only.
    const QDateTime hourEarlier = at.addSecs(-3600);
    if (hourEarlier.date() == date && hourEarlier.time() == time)
        return hourEarlier;
    return at;
}

} // namespace

std::optional<QTime> unarchiveTimeOfDay(const QByteArray &data)
{
    const auto when = unarchiveDateTime(data);
    return when ? std::optional<QTime>(when->time()) : std::nullopt;
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
        if (at.isValid() && at <= localNow)
            return at;
    }
    return std::nullopt;
}

Decision decide(const SavedSchedule &schedule, const QDateTime &now, const std::optional<QDateTime> &lastBackup,
                const std::optional<QDateTime> &lastAttemptFor, const std::optional<QDateTime> &carriedMiss)
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
    std::optional<QDateTime> scheduled = mostRecentScheduledTime(schedule.days, *schedule.time, now);
    if (carriedMiss && carriedMiss->isValid() && *carriedMiss <= now && (!scheduled || *carriedMiss > *scheduled))
        scheduled = carriedMiss->toLocalTime();
    if (!scheduled) {
        d.verdict = Verdict::NotYetMissed;
        return d;
    }
    d.scheduledTime = *scheduled;
    const qint64 grace = std::chrono::seconds(kCatchUpGrace).count();
    // A date ahead of the clock (set wrong once) tells nothing about this
    // time; read as "done", it would block every catch-up until that date.
    const auto ahead = [&](const std::optional<QDateTime> &t) { return t && *t > now.addSecs(grace); };
    if (now <= scheduled->addSecs(grace))
        d.verdict = Verdict::NotYetMissed;
    else if (ahead(lastBackup) || ahead(lastAttemptFor) || ahead(carriedMiss))
        d.verdict = Verdict::FutureRecord;
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

TimeRecord readTimeRecord(const QString &path)
{
    TimeRecord record;
    QByteArray bytes;
    switch (readSmallFile(path, 64, bytes, record.problem)) {
    case SmallFile::Absent:
        return record;
    case SmallFile::Unusable:
        record.state = TimeRecord::State::Unusable;
        return record;
    case SmallFile::Read:
        break;
    }
    const QDateTime when = QDateTime::fromString(QString::fromLatin1(bytes.trimmed()), Qt::ISODateWithMs);
    if (!when.isValid()) {
        record.state = TimeRecord::State::Unusable;
        record.problem = QStringLiteral("does not hold a time");
        return record;
    }
    record.state = TimeRecord::State::Present;
    record.time = when;
    return record;
}

std::optional<QDateTime> readAttempt(const QString &path) { return readTimeRecord(path).time; }

cv::Result<> writeAttempt(const QString &path, const QDateTime &scheduledTime)
{
    QSaveFile file(path);
    bool written = file.open(QIODevice::WriteOnly);
    if (written) {
        // QSaveFile keeps the old file's mode, which may be one we cannot read.
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                            | QFileDevice::ReadOther);
        file.write(scheduledTime.toUTC().toString(Qt::ISODateWithMs).toLatin1() + '\n');
        written = file.commit();
    }
    if (!written)
        return cv::fail(file.errorString());
    const TimeRecord back = readTimeRecord(path);
    if (back.time == scheduledTime)
        return {};
    return cv::fail(back.problem.isEmpty() ? QStringLiteral("it does not read back") : back.problem);
}

} // namespace cv::catchup
