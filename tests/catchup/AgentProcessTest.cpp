// The real agent, as a process, with the real engine installed in a sandbox
// home: a missed time makes exactly one backup, and one attempt only.
#include "CatchUp.h"
#include "Home.h"
#include "Names.h"
#include "PropertyList.h"
#include "TestSupport.h"
#include "WindowSettings.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <gtest/gtest.h>

using cv::test::readFile;
using cv::test::writeFile;

namespace {

const QString kAgent = QStringLiteral(CV_ENGINE_BUNDLE "/Contents/MacOS/CVAgent");

class Agent : public ::testing::Test
{
protected:
    cv::test::ScopedHome home;

    void SetUp() override
    {
        QDir().mkpath(cv::supportFolder());
        QDir().mkpath(QFileInfo(cv::defaultsFilePath()).absolutePath());
        // Installed as the configurator installs it, as far as the agent can tell.
        ASSERT_TRUE(QFile::link(QStringLiteral(CV_ENGINE_BUNDLE), cv::installedEnginePath()));
        ASSERT_TRUE(writeFile(source() + QStringLiteral("/profiles.ini"), "[Profile0]\nPath=Profiles/a\n"));
        ASSERT_TRUE(writeFile(source() + QStringLiteral("/Profiles/a/Mail/Inbox"), "From a@b\n\nhello\n"));
    }

    QString source() const { return home.file(QStringLiteral("Library/Thunderbird")); }
    QString destination() const { return home.file(QStringLiteral("Backups")); }

    // Every day at an hour ago: that time was missed.
    void scheduleMissedAnHourAgo() const
    {
        const QDateTime anHourAgo = QDateTime::currentDateTime().addSecs(-3600);
        QVariantMap settings{
            {QStringLiteral("currentConfiguration"),
             QStringLiteral("Corvantis is currently configured to backup Thunderbird on Everyday at 09:00 PM")},
            {QStringLiteral("scheduled"), true},
            {QStringLiteral("RunNowOnly"), false},
            {QStringLiteral("time"), cv::configurator::archiveDateTime(anHourAgo)},
        };
        for (const char *day : {"sunday", "monday", "tuesday", "wednesday", "thursday", "friday", "saturday"})
            settings.insert(QLatin1String(day), qlonglong(1));
        ASSERT_TRUE(cv::platform::writeDictionaryXmlAtomically(cv::defaultsFilePath(), settings));
        ASSERT_TRUE(cv::platform::writeDictionaryXmlAtomically(
            cv::configFilePath(),
            {{QStringLiteral("Client"), QStringLiteral("Thunderbird")}, {QStringLiteral("Destination"), destination()}}));
    }

    QProcessEnvironment env() const { return cv::test::engineEnvironment(QStringLiteral("offscreen")); }

    void startAgent(QProcess &agent) const
    {
        agent.setProcessEnvironment(env());
        agent.start(kAgent, {});
        ASSERT_TRUE(agent.waitForStarted(10000));
    }

    static void stop(QProcess &agent)
    {
        agent.terminate();
        agent.waitForFinished(10000);
    }

    // Waits for the engine the agent started to record its run's end.
    bool waitForRunRecord(int timeoutMs) const
    {
        const QString record = cv::supportFolder() + QLatin1String(cv::names::kLastRunFileName);
        QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            if (QFileInfo::exists(record))
                return true;
            QThread::msleep(100);
        }
        return false;
    }

    qsizetype logCount(const char *text) const { return readFile(cv::logFilePath()).count(text); }
    QVariantMap lastRun() const
    {
        return cv::platform::readDictionaryFile(cv::supportFolder() + QLatin1String(cv::names::kLastRunFileName))
            .value_or(QVariantMap());
    }
};

} // namespace

TEST_F(Agent, MissedTimeMakesExactlyOneBackupAndTheNextLookNothing)
{
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        GTEST_SKIP() << "needs the private session bus";
    ASSERT_NO_FATAL_FAILURE(scheduleMissedAnHourAgo());
    QDir().mkpath(destination());

    QProcess agent;
    startAgent(agent);
    ASSERT_TRUE(waitForRunRecord(120000)) << readFile(cv::logFilePath()).constData();
    EXPECT_TRUE(lastRun().value(QStringLiteral("Succeeded")).toBool()) << readFile(cv::logFilePath()).constData();
    EXPECT_TRUE(QFileInfo::exists(cv::markerFilePath()));
    EXPECT_TRUE(QFileInfo::exists(destination() + QStringLiteral("/Profiles/a/Mail/Inbox")))
        << readFile(cv::logFilePath()).constData();

    // A second agent in the same session leaves at once.
    const auto second = cv::test::runProgram(kAgent, {}, env(), 10000);
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_FALSE(second.timedOut);
    stop(agent);

    // The next login: the backup is there, nothing more to do.
    QProcess again;
    startAgent(again);
    QThread::msleep(3000);
    stop(again);
    EXPECT_EQ(logCount("Catching up the backup missed at"), 1);
    EXPECT_EQ(logCount("Backup completed successfully"), 1);
}

TEST_F(Agent, AFailedCatchUpWaitsForTheNextScheduledTime)
{
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        GTEST_SKIP() << "needs the private session bus";
    ASSERT_NO_FATAL_FAILURE(scheduleMissedAnHourAgo()); // the destination is missing: the run fails

    QProcess agent;
    startAgent(agent);
    ASSERT_TRUE(waitForRunRecord(120000)) << readFile(cv::logFilePath()).constData();
    EXPECT_FALSE(lastRun().value(QStringLiteral("Succeeded")).toBool());
    stop(agent);
    const auto attempt = cv::catchup::readAttempt(cv::supportFolder() + QLatin1String(cv::names::kCatchUpAttemptFileName));
    ASSERT_TRUE(attempt);

    QProcess again;
    startAgent(again);
    QThread::msleep(3000);
    stop(again);
    EXPECT_EQ(logCount("Catching up the backup missed at"), 1);
    EXPECT_EQ(logCount("Destination not available."), 1);
    EXPECT_FALSE(QFileInfo::exists(cv::markerFilePath()));
}
