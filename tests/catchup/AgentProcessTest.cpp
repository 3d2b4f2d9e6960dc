// The real agent, as a process, with the real engine installed in a sandbox
// home: one attempt per missed time, and a missed time makes exactly one backup.
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

// Every day at the given time, Thunderbird into the destination.
void scheduleEverydayAt(const QDateTime &when, const QString &destination)
{
    QVariantMap settings{
        {QStringLiteral("currentConfiguration"),
         QStringLiteral("Corvantis is currently configured to backup Thunderbird on Everyday at 09:00 PM")},
        {QStringLiteral("scheduled"), true},
        {QStringLiteral("RunNowOnly"), false},
        {QStringLiteral("time"), cv::configurator::archiveDateTime(when)},
    };
    for (const char *day : {"sunday", "monday", "tuesday", "wednesday", "thursday", "friday", "saturday"})
        settings.insert(QLatin1String(day), qlonglong(1));
    ASSERT_TRUE(cv::platform::writeDictionaryXmlAtomically(cv::defaultsFilePath(), settings));
    ASSERT_TRUE(cv::platform::writeDictionaryXmlAtomically(
        cv::configFilePath(), {{QStringLiteral("Client"), QStringLiteral("Thunderbird")}, {QStringLiteral("Destination"), destination}}));
}

// Starts an agent, waits for the run it may start to be recorded, then ends it.
bool runAgent(bool expectRun)
{
    const QString record = cv::supportFolder() + QLatin1String(cv::names::kLastRunFileName);
    QFile::remove(record);
    QProcess agent;
    agent.setProcessEnvironment(cv::test::engineEnvironment(QStringLiteral("offscreen")));
    agent.start(kAgent, {});
    if (!agent.waitForStarted(10000))
        return false;
    // A look without a run leaves no trace to wait for: give it time.
    QDeadlineTimer deadline(expectRun ? 120000 : 3000);
    while (!deadline.hasExpired() && !QFileInfo::exists(record))
        QThread::msleep(100);
    // Meanwhile a second agent in the same session leaves at once.
    const auto second = cv::test::runProgram(kAgent, {}, cv::test::engineEnvironment(QStringLiteral("offscreen")), 10000);
    agent.terminate();
    agent.waitForFinished(10000);
    return second.exitCode == 0 && !second.timedOut && QFileInfo::exists(record) == expectRun;
}

qsizetype logCount(const char *text) { return readFile(cv::logFilePath()).count(text); }

} // namespace

TEST(Agent, OneAttemptPerMissedTimeAndExactlyOneBackup)
{
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        GTEST_SKIP() << "needs the private session bus";
    cv::test::ScopedHome home;
    QDir().mkpath(cv::supportFolder());
    QDir().mkpath(QFileInfo(cv::defaultsFilePath()).absolutePath());
    // Installed as the configurator installs it, as far as the agent can tell.
    ASSERT_TRUE(QFile::link(QStringLiteral(CV_ENGINE_BUNDLE), cv::installedEnginePath()));
    ASSERT_TRUE(writeFile(home.file(QStringLiteral("Library/Thunderbird/Profiles/a/Mail/Inbox")), "From a@b\n\nhello\n"));
    const QString destination = home.file(QStringLiteral("Backups"));
    const QDateTime now = QDateTime::currentDateTime();

    // Missed two hours ago, with the destination gone: the catch-up fails,
    // and the next login does not try that time again.
    ASSERT_NO_FATAL_FAILURE(scheduleEverydayAt(now.addSecs(-7200), destination));
    EXPECT_TRUE(runAgent(true)) << readFile(cv::logFilePath()).constData();
    EXPECT_TRUE(runAgent(false)) << readFile(cv::logFilePath()).constData();
    EXPECT_EQ(logCount("Catching up the backup missed at"), 1);
    EXPECT_EQ(logCount("Destination not available."), 1);

    // A later missed time with the destination back: one backup, then nothing.
    QDir().mkpath(destination);
    ASSERT_NO_FATAL_FAILURE(scheduleEverydayAt(now.addSecs(-3600), destination));
    EXPECT_TRUE(runAgent(true)) << readFile(cv::logFilePath()).constData();
    EXPECT_TRUE(QFileInfo::exists(destination + QStringLiteral("/Profiles/a/Mail/Inbox")));
    EXPECT_TRUE(runAgent(false)) << readFile(cv::logFilePath()).constData();
    EXPECT_EQ(logCount("Catching up the backup missed at"), 2);
    EXPECT_EQ(logCount("Backup completed successfully"), 1);
}
