// The real engine and script with a stand-in copy command: each run is
// journalled, told where to keep versions, and prunes old ones at its start.
#include "HistoryTestSupport.h"
#include "Journal.h"
#include "Home.h"
#include "Retention.h"
#include "UserDefaults.h"

#include <gtest/gtest.h>

namespace {

const QString kEngine = QStringLiteral(CV_ENGINE_BUNDLE "/Contents/MacOS/CVEngine");

} // namespace

TEST(EngineVersions, TheRunIsJournalledToldWhereToKeepVersionsAndPrunesAtItsStart)
{
    struct Case { const char *name; QVariant enabled; bool fail; bool pruned; };
    const Case cases[] = {
        {"on", QVariant(), false, true},
        {"off", QVariant(false), false, false},
        {"failed run", QVariant(true), true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        cv::test::ScopedHome home;
        const QString destination = home.file(QStringLiteral("Backups/Mail (daily)"));
        ASSERT_TRUE(cv::test::writeEngineSettings(
            QStringLiteral("Corvantis is currently configured to backup Thunderbird on Run Now only."),
            {{QStringLiteral("Client"), QStringLiteral("Thunderbird")}, {QStringLiteral("Destination"), destination}}));
        cv::platform::UserDefaults defaults(cv::defaultsFilePath());
        defaults.setInteger(QStringLiteral("keepVersions"), 7);
        if (c.enabled.isValid())
            defaults.setBoolean(QStringLiteral("versionsEnabled"), c.enabled.toBool());
        ASSERT_TRUE(defaults.synchronize());
        cv::test::BackupOnDisk disk(destination);
        disk.put(QStringLiteral("Mail/INBOX"), "now");
        const QDateTime now = QDateTime::currentDateTime();
        const QString old = cv::history::stampForTime(now.addDays(-40));
        const QString recent = cv::history::stampForTime(now.addDays(-2));
        disk.replace(old, QStringLiteral("Mail/INBOX"), "now");
        disk.replace(recent, QStringLiteral("Mail/INBOX"), "now");

        QProcessEnvironment env = cv::test::engineEnvironment(QStringLiteral("offscreen"),
                                                              QStringLiteral(CV_HISTORY_STANDINS));
        const QString record = home.file(QStringLiteral("versions-record"));
        env.insert(QStringLiteral("CV_VERSIONS_RECORD"), record);
        if (c.fail)
            env.insert(QStringLiteral("CV_DITTO_FAIL"), QStringLiteral("1"));
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        const cv::test::RunResult run = cv::test::runProgram(kEngine, {}, env, 120000);
        ASSERT_FALSE(run.timedOut);

        const QString told = QString::fromUtf8(cv::test::readFile(record)).trimmed();
        const QList<cv::history::JournalRun> runs = cv::history::readJournal(destination);
        ASSERT_EQ(runs.size(), 1);
        const bool versions = !c.enabled.isValid() || c.enabled.toBool();
        EXPECT_EQ(runs[0].versions, versions);
        EXPECT_EQ(runs[0].outcome, c.fail ? cv::history::RunOutcome::Failed : cv::history::RunOutcome::Success);
        EXPECT_GE(runs[0].start, before.toUTC());
        EXPECT_EQ(told, versions ? cv::history::runFolder(destination, runs[0].id) : QStringLiteral("unset"));
        QStringList expected = c.pruned ? QStringList{recent} : QStringList{old, recent};
        if (versions)
            expected.append(runs[0].id);
        EXPECT_EQ(cv::history::versionFolders(destination), expected);
        EXPECT_EQ(cv::test::readFile(cv::logFilePath()).contains("Removed the earlier versions"), c.pruned);
        EXPECT_EQ(cv::test::readFile(disk.mirror(QStringLiteral("Mail/INBOX"))), "now");
    }
}
