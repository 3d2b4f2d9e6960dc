// The agent's look, in process, against the records it reads: damaged or
// hostile records stop a catch-up (one line, one notice a day, no hang), a
// run in progress spends no attempt, an engine that would not start is
// recorded and told, and a save never cancels a real miss. Its notices, as a
// notification server sees them, are in FailureNoticeTest.
#include "CatchUpAgent.h"
#include "CatchUpEntry.h"
#include "DesktopNotifier.h"
#include "EngineLauncher.h"
#include "LastRun.h"
#include "NoticeKeeper.h"
#include "RunLock.h"
#include "WindowSettings.h"

#include "Home.h"
#include "Names.h"
#include "PropertyList.h"
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <utime.h>

using namespace cv;

namespace {

struct FixedClock : agent::Clock {
    QDateTime at;
    QDateTime now() const override { return at; }
};

struct CountingLauncher : platform::EngineLauncher {
    int launches = 0;
    bool starts = true;
    cv::Result<qint64> launchApplication(const QString &) override
    {
        ++launches;
        if (!starts)
            return cv::fail(QStringLiteral("no engine at that path"));
        return qint64(0);
    }
};

struct RecordingNotifier : platform::DesktopNotifier {
    QStringList summaries;
    std::optional<uint> notify(const QString &summary, const QString &, const QStringList &, uint replacesId) override
    {
        summaries.append(summary);
        return replacesId ? replacesId : uint(summaries.size());
    }
};

QString support(const char *name) { return cv::supportFolder() + QLatin1String(name); }

bool markBackupAt(const QDateTime &when)
{
    const utimbuf times{time_t(when.toSecsSinceEpoch()), time_t(when.toSecsSinceEpoch())};
    return ::utime(QFile::encodeName(cv::markerFilePath()).constData(), &times) == 0;
}

// Everyday at 11:00; the marker dated a day before `now`.
void everydayAt1100(const QDateTime &now)
{
    QVariantMap settings{{QStringLiteral("scheduled"), true}, {QStringLiteral("RunNowOnly"), false},
                         {QStringLiteral("time"), configurator::archiveDateTime(QDateTime(now.date(), QTime(11, 0)))}};
    for (const char *day : {"sunday", "monday", "tuesday", "wednesday", "thursday", "friday", "saturday"})
        settings.insert(QLatin1String(day), true);
    ASSERT_TRUE(platform::writeDictionaryXmlAtomically(cv::defaultsFilePath(), settings));
    ASSERT_TRUE(test::writeFile(cv::markerFilePath(), ""));
    ASSERT_TRUE(markBackupAt(now.addDays(-1)));
}

struct Sandbox {
    test::ScopedHome home;
    FixedClock clock;
    CountingLauncher launcher;
    RecordingNotifier notifier;
    agent::NoticeKeeper notices{notifier, [] {}};
    agent::CatchUpAgent agent{clock, launcher, &notices};
    Sandbox()
    {
        QDir().mkpath(cv::supportFolder());
        QDir().mkpath(QFileInfo(cv::defaultsFilePath()).absolutePath());
        clock.at = QDateTime(QDate(2026, 12, 9), QTime(13, 1));
    }
};

} // namespace

TEST(AgentRecords, HostileRecordsStopTheCatchUpWithOneLineAndOneNoticeADay)
{
    const struct {
        const char *what;
        std::function<void(const QString &)> make;
    } rows[] = {
        {"garbage", [](const QString &p) { test::writeFile(p, "not a time\n"); }},
        {"FIFO", [](const QString &p) { ::mkfifo(QFile::encodeName(p).constData(), 0600); }},
        {"folder", [](const QString &p) { QDir().mkpath(p); }},
        {"future", [](const QString &p) { test::writeFile(p, "2031-01-01T10:00:00.000Z\n"); }},
    };
    for (const char *record : {names::kCatchUpAttemptFileName, names::kCatchUpMissedFileName}) {
        for (const auto &row : rows) {
            Sandbox s;
            ASSERT_NO_FATAL_FAILURE(everydayAt1100(s.clock.at));
            row.make(support(record));
            test::CapturedStderr log;
            QElapsedTimer took;
            took.start();
            s.agent.check();
            s.agent.check(); // the same day: a line, no second notice
            EXPECT_LT(took.elapsed(), 2000) << row.what;
            const QByteArray lines = log.take();
            EXPECT_EQ(s.launcher.launches, 0) << record << ' ' << row.what;
            EXPECT_EQ(lines.count("Missed backups are not caught up: "), 2) << record << ' ' << row.what << lines.constData();
            EXPECT_EQ(s.notifier.summaries, QStringList{QStringLiteral("Missed backup not caught up")}) << row.what;
            s.clock.at = s.clock.at.addDays(1);
            s.agent.check();
            EXPECT_EQ(s.notifier.summaries.size(), 2) << "a notice the next day: " << row.what;
        }
    }
}

TEST(AgentRuns, ARunInProgressOrAMissingEngineSpendsNoAttempt)
{
    Sandbox s;
    ASSERT_NO_FATAL_FAILURE(everydayAt1100(s.clock.at));
    {
        platform::RunLock other;
        ASSERT_EQ(other.tryAcquire(cv::runLockPath()), platform::RunLock::Acquire::Acquired);
        EXPECT_EQ(int(s.agent.check().verdict), int(catchup::Verdict::RunInProgress));
        EXPECT_EQ(s.launcher.launches, 0);
        EXPECT_FALSE(QFile::exists(support(names::kCatchUpAttemptFileName)));
    }

    // No engine: recorded as a failed run and told once; the next look tries again.
    s.launcher.starts = false;
    EXPECT_TRUE(s.agent.check().run());
    EXPECT_TRUE(s.agent.check().run());
    EXPECT_EQ(s.launcher.launches, 2);
    EXPECT_FALSE(QFile::exists(support(names::kCatchUpAttemptFileName)));
    EXPECT_EQ(s.notifier.summaries, QStringList{QStringLiteral("Backup failed")});
    const auto run = LastRun::fromDictionary(
        platform::readDictionaryFile(support(names::kLastRunFileName)).value_or(QVariantMap()));
    ASSERT_TRUE(run);
    EXPECT_FALSE(run->succeeded);
    EXPECT_TRUE(run->reason.startsWith(QStringLiteral("The backup engine could not be started: "))) << qPrintable(run->reason);

    // The engine back: one run, then the attempt is spent.
    s.launcher.starts = true;
    EXPECT_TRUE(s.agent.check().run());
    EXPECT_EQ(int(s.agent.check().verdict), int(catchup::Verdict::AlreadyAttempted));
    EXPECT_EQ(s.launcher.launches, 3);
}

TEST(AgentRuns, ASaveAfterAMissStillCatchesItUpOnce)
{
    Sandbox s;
    ASSERT_NO_FATAL_FAILURE(everydayAt1100(s.clock.at));
    const catchup::SavedSchedule daily1100 =
        catchup::savedScheduleFrom(platform::readDictionaryFile(cv::defaultsFilePath()).value_or(QVariantMap()));
    catchup::SavedSchedule sunday1000 = daily1100;
    sunday1000.days = {true, false, false, false, false, false, false};
    sunday1000.time = QTime(10, 0);

    // 11:00 was missed; at 13:01 the time becomes Sundays 10:00, before the
    // marker. The miss is owed all the same, once.
    configurator::settleTimeBeforeSave(daily1100, sunday1000, s.clock.at);
    QVariantMap settings = platform::readDictionaryFile(cv::defaultsFilePath()).value_or(QVariantMap());
    for (const char *day : {"monday", "tuesday", "wednesday", "thursday", "friday", "saturday"})
        settings.insert(QLatin1String(day), false);
    ASSERT_TRUE(platform::writeDictionaryXmlAtomically(cv::defaultsFilePath(), settings));
    s.clock.at = s.clock.at.addSecs(60);
    const catchup::Decision d = s.agent.check();
    EXPECT_TRUE(d.run());
    EXPECT_EQ(d.scheduledTime, QDateTime(QDate(2026, 12, 9), QTime(11, 0)));
    EXPECT_FALSE(s.agent.check().run());
    EXPECT_EQ(s.launcher.launches, 1);

    // With nothing missed, a save settles the new schedule's passed time.
    ASSERT_TRUE(QFile::remove(support(names::kCatchUpMissedFileName)));
    ASSERT_TRUE(QFile::remove(support(names::kCatchUpAttemptFileName)));
    ASSERT_TRUE(markBackupAt(s.clock.at.addSecs(-60)));
    catchup::SavedSchedule daily1200 = daily1100;
    daily1200.time = QTime(12, 0);
    configurator::settleTimeBeforeSave(daily1100, daily1200, s.clock.at);
    EXPECT_FALSE(QFile::exists(support(names::kCatchUpMissedFileName)));
    EXPECT_EQ(catchup::readAttempt(support(names::kCatchUpAttemptFileName)), QDateTime(QDate(2026, 12, 9), QTime(12, 0)));
}
