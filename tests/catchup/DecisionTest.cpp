// When a missed backup is caught up, what the window warns about, and how a
// failed run's reason is told: pure logic under a fixed time zone.
#include "CatchUp.h"
#include "DesktopNotifier.h"
#include "LastRun.h"
#include "RunReport.h"
#include "RunStatusText.h"
#include "UserDefaults.h"
#include "WindowSettings.h"

#include "Home.h"
#include "Names.h"
#include "PropertyList.h"
#include "TestSupport.h"

#include <QDir>
#include <QTimeZone>
#include <gtest/gtest.h>

#include <ctime>
#include <sys/stat.h>

using namespace cv::catchup;
using cv::LastRun;

namespace {

class ScopedZone
{
public:
    explicit ScopedZone(const char *zone)
        : m_previous(qgetenv("TZ"))
    {
        qputenv("TZ", zone);
        ::tzset();
    }
    ~ScopedZone()
    {
        qputenv("TZ", m_previous);
        ::tzset();
    }

private:
    QByteArray m_previous;
};

// Berlin: clocks go forward on 2026-03-29 at 02:00 and back on 2026-10-25 at 03:00.
class InBerlin : public ::testing::Test
{
private:
    ScopedZone m_zone{"Europe/Berlin"};
};

DayFlags days(std::initializer_list<int> on)
{
    DayFlags d{};
    for (int i : on)
        d[std::size_t(i)] = true;
    return d;
}

QDateTime local(const char *text) { return QDateTime::fromString(QLatin1String(text), Qt::ISODate); }
QDateTime utc(const char *text) { return QDateTime::fromString(QLatin1String(text) + QLatin1String("Z"), Qt::ISODate); }

SavedSchedule schedule(DayFlags d, QTime time)
{
    SavedSchedule s;
    s.scheduled = true;
    s.days = d;
    s.time = time;
    return s;
}

} // namespace

TEST_F(InBerlin, DecisionTable)
{
    const SavedSchedule mwf = schedule(days({1, 3, 5}), QTime(21, 30)); // Mon, Wed, Fri
    SavedSchedule removed = mwf;
    removed.scheduled = false;
    SavedSchedule runNowOnly = mwf;
    runNowOnly.runNowOnly = true;
    SavedSchedule off = mwf;
    off.catchUpWanted = false;
    const SavedSchedule saturday = schedule(days({6}), QTime(23, 55));
    const SavedSchedule sunday = schedule(days({0}), QTime(9, 0));
    const SavedSchedule daily0900 = schedule(days({0, 1, 2, 3, 4, 5, 6}), QTime(9, 0));
    const SavedSchedule daily0230 = schedule(days({0, 1, 2, 3, 4, 5, 6}), QTime(2, 30));
    const std::optional<QDateTime> none;

    const struct {
        const char *what;
        SavedSchedule schedule;
        QDateTime now;
        std::optional<QDateTime> marker;
        std::optional<QDateTime> attempt;
        Verdict verdict;
        QDateTime scheduled; // in UTC; invalid: not checked
        std::optional<QDateTime> carried = {};
    } rows[] = {
        {"within the grace", mwf, local("2026-12-09T21:40:00"), local("2026-12-07T21:31:00"), none, Verdict::NotYetMissed, utc("2026-12-09T20:30:00")},
        {"missed", mwf, local("2026-12-09T21:41:00"), local("2026-12-07T21:31:00"), none, Verdict::Run, utc("2026-12-09T20:30:00")},
        {"never backed up", mwf, local("2026-12-09T21:41:00"), none, none, Verdict::Run, utc("2026-12-09T20:30:00")},
        {"cron ran", mwf, local("2026-12-09T21:41:00"), local("2026-12-09T21:32:00"), none, Verdict::BackedUpSince, {}},
        {"already attempted", mwf, local("2026-12-09T21:41:00"), none, local("2026-12-09T21:30:00"), Verdict::AlreadyAttempted, {}},
        {"an older attempt", mwf, local("2026-12-09T21:41:00"), none, local("2026-12-07T21:30:00"), Verdict::Run, {}},
        {"schedule removed", removed, local("2026-12-09T23:00:00"), none, none, Verdict::NoSchedule, {}},
        {"Run Now only", runNowOnly, local("2026-12-09T23:00:00"), none, none, Verdict::RunNowOnly, {}},
        {"preference off", off, local("2026-12-09T23:00:00"), none, none, Verdict::TurnedOff, {}},
        {"after midnight", mwf, local("2026-12-10T00:05:00"), local("2026-12-07T21:31:00"), none, Verdict::Run, utc("2026-12-09T20:30:00")},
        {"Saturday night, early Sunday", saturday, local("2026-12-13T00:03:00"), none, none, Verdict::NotYetMissed, utc("2026-12-12T22:55:00")},
        {"Saturday night, Sunday", saturday, local("2026-12-13T00:20:00"), none, none, Verdict::Run, utc("2026-12-12T22:55:00")},
        {"last Sunday, on Saturday", sunday, local("2026-12-12T10:00:00"), local("2026-11-29T09:01:00"), none, Verdict::Run, utc("2026-12-06T08:00:00")},
        {"a week back, same day, earlier", sunday, local("2026-12-13T08:00:00"), none, none, Verdict::Run, utc("2026-12-06T08:00:00")},
        {"first summer morning, early", daily0900, local("2026-03-29T09:05:00"), local("2026-03-28T09:01:00"), none, Verdict::NotYetMissed, utc("2026-03-29T07:00:00")},
        {"first summer morning", daily0900, local("2026-03-29T09:15:00"), local("2026-03-28T09:01:00"), none, Verdict::Run, utc("2026-03-29T07:00:00")},
        {"first winter morning", daily0900, local("2026-10-25T09:15:00"), local("2026-10-24T09:01:00"), none, Verdict::Run, utc("2026-10-25T08:00:00")},
        {"skipped hour fires at the jump", daily0230, local("2026-03-29T03:20:00"), local("2026-03-28T02:31:00"), none, Verdict::Run, utc("2026-03-29T01:00:00")},
        // The clock was set back after the attempt: still attempted.
        {"attempt later than the time", mwf, local("2026-12-09T21:41:00"), none, local("2026-12-09T21:36:00"), Verdict::AlreadyAttempted, {}},
        {"marker ahead of the clock", mwf, local("2026-12-09T21:41:00"), local("2027-06-01T10:00:00"), none, Verdict::FutureRecord, {}},
        {"attempt ahead of the clock", mwf, local("2026-12-09T21:41:00"), none, local("2027-06-01T10:00:00"), Verdict::FutureRecord, {}},
        {"marker a little ahead", mwf, local("2026-12-09T21:41:00"), local("2026-12-09T21:45:00"), none, Verdict::BackedUpSince, {}},
        // Monday 21:30 missed; a save at 22:00 moved it to Sundays, the day
        // before, when a backup was made after the Sunday time.
        {"a miss carried over a save", sunday, local("2026-12-07T22:05:00"), local("2026-12-06T12:00:00"), none, Verdict::Run, utc("2026-12-07T20:30:00"), local("2026-12-07T21:30:00")},
        {"a carried miss caught up", sunday, local("2026-12-07T23:05:00"), local("2026-12-06T12:00:00"), local("2026-12-07T21:30:00"), Verdict::AlreadyAttempted, {}, local("2026-12-07T21:30:00")},
        {"a carried miss backed up", sunday, local("2026-12-08T10:05:00"), local("2026-12-07T23:00:00"), none, Verdict::BackedUpSince, {}, local("2026-12-07T21:30:00")},
    };
    for (const auto &row : rows) {
        ASSERT_TRUE(row.now.isValid()) << row.what;
        const Decision d = decide(row.schedule, row.now, row.marker, row.attempt, row.carried);
        EXPECT_EQ(int(d.verdict), int(row.verdict)) << row.what;
        if (row.scheduled.isValid()) {
            EXPECT_EQ(d.scheduledTime.toUTC(), row.scheduled) << row.what << ": " << qPrintable(d.scheduledTime.toString(Qt::ISODate));
        }
    }
}

// Zone changes each on their own, with no earlier row to warm Qt's zone data
// (the autumn repeated hour has its row only here).
TEST(DecisionAtClockChanges, RepeatedHourAlone)
{
    ScopedZone berlin("Europe/Berlin");
    const SavedSchedule daily0230 = schedule(days({0, 1, 2, 3, 4, 5, 6}), QTime(2, 30));
    EXPECT_EQ(int(decide(daily0230, utc("2026-10-25T02:15:00"), utc("2026-10-25T00:31:00"), std::nullopt).verdict),
              int(Verdict::BackedUpSince));
}

TEST(DecisionAtClockChanges, SkippedMidnight)
{
    // Havana skips from 00:00 to 01:00 on 2026-03-08: a daily 00:30 fires at the jump.
    ScopedZone havana("America/Havana");
    const SavedSchedule daily0030 = schedule(days({0, 1, 2, 3, 4, 5, 6}), QTime(0, 30));
    const Decision d = decide(daily0030, utc("2026-03-08T14:00:00"), utc("2026-03-07T05:31:00"), std::nullopt);
    EXPECT_EQ(int(d.verdict), int(Verdict::Run));
    EXPECT_EQ(d.scheduledTime.toUTC(), utc("2026-03-08T05:00:00"));
}

// The agent reads what the configurator wrote, through the same file.
TEST(CatchUpSettings, ReadsTheConfiguratorsStoredSchedule)
{
    cv::test::ScopedHome home;
    cv::platform::UserDefaults defaults(cv::defaultsFilePath());
    cv::configurator::WindowSettings settings;
    settings.days = days({2, 4});
    settings.time = QDateTime(QDate(2026, 3, 1), QTime(21, 45));
    ASSERT_TRUE(cv::configurator::savePreferences(defaults, settings));
    defaults.setBoolean(QStringLiteral("scheduled"), true);
    ASSERT_TRUE(defaults.synchronize());

    const auto stored = cv::platform::readDictionaryFile(cv::defaultsFilePath());
    ASSERT_TRUE(stored);
    const SavedSchedule s = savedScheduleFrom(*stored);
    EXPECT_TRUE(s.firesByItself());
    EXPECT_TRUE(s.catchUpWanted);
    EXPECT_EQ(s.days, days({2, 4}));
    EXPECT_EQ(s.time, QTime(21, 45));

    // Damage reads as no schedule, never as one.
    QVariantMap damaged = *stored;
    damaged.insert(QStringLiteral("time"), QByteArray("\x01\x02"));
    EXPECT_FALSE(savedScheduleFrom(damaged).firesByItself());
    damaged = *stored;
    damaged.insert(QStringLiteral("scheduled"), QStringLiteral("yes"));
    EXPECT_FALSE(savedScheduleFrom(damaged).firesByItself());

}

TEST_F(InBerlin, WarningLineAndOverdue)
{
    const SavedSchedule mwf = schedule(days({1, 3, 5}), QTime(21, 30));
    SavedSchedule runNowOnly = mwf;
    runNowOnly.runNowOnly = true;
    const QDateTime now = local("2026-12-09T12:00:00");
    LastRun failed;
    failed.time = local("2026-12-07T21:31:00");
    failed.reason = QStringLiteral("Backup failed. Destination not available.");
    const std::optional<LastRun> noRun;

    const struct {
        const char *what;
        std::optional<LastRun> run;
        std::optional<QDateTime> marker;
        SavedSchedule schedule;
        QString text;
    } rows[] = {
        {"failed after success", failed, local("2026-12-04T21:31:00"), mwf,
         QStringLiteral("Last run failed on 12/07/2026 at 09:31 PM: Backup failed. Destination not available.")},
        {"success since", failed, local("2026-12-08T09:00:00"), mwf, QString()},
        {"six days is twice Friday to Monday", noRun, local("2026-12-03T12:00:00"), mwf, QString()},
        {"overdue", noRun, local("2026-12-03T11:59:00"), mwf, QStringLiteral("Backups are overdue.")},
        {"Run Now only promises nothing", noRun, local("2026-11-01T12:00:00"), runNowOnly, QString()},
        {"both", failed, local("2026-11-01T12:00:00"), mwf,
         QStringLiteral("Last run failed on 12/07/2026 at 09:31 PM: Backup failed. Destination not available.\nBackups are overdue.")},
    };
    for (const auto &row : rows)
        EXPECT_EQ(cv::configurator::runWarningText(row.run, row.marker, row.schedule, now, 2), row.text) << row.what;
}

TEST(RunReport, ReasonIsTheScriptsFailureLine)
{
    const struct {
        QStringList chunks;
        const char *reason;
    } rows[] = {
        {{QStringLiteral("Checking for destination...\nWed Dec  9 21:30:00 CET 2026: Backup failed. Destination not available.\n")},
         "Backup failed. Destination not available."},
        // Split across reads, without a final line feed.
        {{QStringLiteral("Creating backup files\nditto: /media/x: No space left on device\nWed Dec  9 21:30:00 CET 2026: Backup fai"),
          QStringLiteral("led. Please see above error messages.")},
         "Backup failed: ditto: /media/x: No space left on device"},
        {{QStringLiteral("sh: 1: something unexpected\n\n")}, "sh: 1: something unexpected"},
        {{}, "The backup ended without a report."},
    };
    for (const auto &row : rows) {
        cv::engine::RunReport report;
        for (const QString &chunk : row.chunks)
            report.addOutput(chunk);
        EXPECT_EQ(report.failureReason(), QLatin1String(row.reason));
    }
}

namespace {

struct FixedIdNotifier : cv::platform::DesktopNotifier {
    uint given = 0;
    std::optional<uint> notify(const QString &, const QString &, const QStringList &, uint replacesId) override
    {
        given = replacesId;
        return 77;
    }
};

} // namespace

// "Open Log" on our own notice opens the log; other notices' buttons do not.
TEST(RunReport, OpenLogActsOnlyForItsOwnNotice)
{
    cv::test::ScopedHome home;
    QDir().mkpath(cv::supportFolder());
    FixedIdNotifier notifier;
    cv::engine::RunReport report;
    report.setNotifier(&notifier);
    int opened = 0;
    report.setOpenLogHandler([&opened] { ++opened; });
    report.begin();
    report.addOutput(QStringLiteral("x: Backup failed. Destination not available.\n"));
    report.notifyFailure();

    emit notifier.actionInvoked(76, QStringLiteral("open-log"));
    emit notifier.actionInvoked(77, QStringLiteral("default"));
    EXPECT_EQ(opened, 0);
    emit notifier.actionInvoked(77, QStringLiteral("open-log"));
    EXPECT_EQ(opened, 1);

    // A FIFO where the notice id is kept: not waited on, no id to replace.
    const QString id = cv::supportFolder() + QLatin1String(cv::names::kFailureNotificationIdFileName);
    ASSERT_TRUE(QFile::remove(id));
    ASSERT_EQ(::mkfifo(QFile::encodeName(id).constData(), 0600), 0);
    report.notifyFailure();
    EXPECT_EQ(notifier.given, 0u);
}

// A run that printed success but could not touch the marker leaves the
// window a stale date: recorded as the failure it is.
TEST(RunReport, ASuccessThatLeftTheMarkerUntouchedIsRecordedAsAFailure)
{
    cv::test::ScopedHome home;
    QDir().mkpath(cv::supportFolder());
    const QString record = cv::supportFolder() + QLatin1String(cv::names::kLastRunFileName);
    for (const bool touched : {true, false}) {
        cv::engine::RunReport report;
        report.setAgentStarter([] { return false; });
        report.begin();
        if (touched)
            cv::test::writeFile(cv::markerFilePath(), {});
        report.finish(true);
        const auto run = LastRun::fromDictionary(cv::platform::readDictionaryFile(record).value_or(QVariantMap()));
        ASSERT_TRUE(run);
        EXPECT_EQ(run->succeeded, touched);
        EXPECT_EQ(run->reason.contains(cv::markerFilePath()), !touched) << qPrintable(run->reason);
        QFile::remove(cv::markerFilePath());
    }
}
