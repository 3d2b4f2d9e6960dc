// The real engine and script with a stand-in copy command: each run is told
// where to keep versions, and only a successful one prunes old ones.
#include "BackupHistory.h"
#include "HistoryTestSupport.h"
#include "Home.h"
#include "Retention.h"
#include "UserDefaults.h"

#include <gtest/gtest.h>

namespace {

const QString kEngine = QStringLiteral(CV_ENGINE_BUNDLE "/Contents/MacOS/CVEngine");

} // namespace

TEST(EngineVersions, TheRunIsToldWhereToKeepVersionsAndASuccessfulOnePrunes)
{
    struct Case { const char *name; QVariant enabled; bool fail; bool pruned; };
    const Case cases[] = {
        {"on", QVariant(), false, true},
        {"off", QVariant(false), false, false},
        {"failed run", QVariant(true), true, false},
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
        if (c.enabled.isValid() && !c.enabled.toBool()) {
            EXPECT_EQ(told, QStringLiteral("unset"));
        } else {
            const QString prefix = destination + QStringLiteral("/.corvantis-versions/");
            ASSERT_TRUE(told.startsWith(prefix)) << told.toStdString();
            const auto stamp = cv::history::timeOfStamp(told.mid(prefix.size()));
            ASSERT_TRUE(stamp.has_value()) << told.toStdString();
            EXPECT_GE(*stamp, before.addSecs(-1));
            EXPECT_LE(*stamp, QDateTime::currentDateTime());
        }
        const QStringList expected = c.pruned ? QStringList{recent} : QStringList{old, recent};
        EXPECT_EQ(cv::history::BackupHistory(destination).stamps(), expected);
        EXPECT_EQ(cv::test::readFile(cv::logFilePath()).contains("Removed the earlier versions"), c.pruned);
        EXPECT_EQ(cv::test::readFile(disk.mirror(QStringLiteral("Mail/INBOX"))), "now");
    }
}
