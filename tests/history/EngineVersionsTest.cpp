// The real engine and script with a stand-in copy command: each run is
// journalled, told where to keep versions, and prunes old ones at its start.
#include "Home.h"
#include "RealRuns.h"
#include "Retention.h"
#include "UserDefaults.h"

#include <gtest/gtest.h>

namespace {

const QString kEngine = QStringLiteral(CV_ENGINE_BUNDLE "/Contents/MacOS/CVEngine");

// Thunderbird into `destination` on Run Now, versions kept 7 days; `enabled`
// stored when valid.
bool configure(const QString &destination, const QVariant &enabled = {})
{
    if (!cv::test::writeEngineSettings(
            QStringLiteral("Corvantis is currently configured to backup Thunderbird on Run Now only."),
            {{QStringLiteral("Client"), QStringLiteral("Thunderbird")}, {QStringLiteral("Destination"), destination}}))
        return false;
    cv::platform::UserDefaults defaults(cv::defaultsFilePath()); // read after the status is written
    defaults.setInteger(QStringLiteral("keepVersions"), 7);
    if (enabled.isValid())
        defaults.setBoolean(QStringLiteral("versionsEnabled"), enabled.toBool());
    return defaults.synchronize().ok();
}

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
        ASSERT_TRUE(configure(destination, c.enabled));
        // Two earlier runs of the real ditto: one past the limit, one within.
        cv::test::RealRuns earlier(home.file(QStringLiteral("Source")), destination);
        const QDateTime now = QDateTime::currentDateTimeUtc();
        cv::test::writeFile(earlier.source() + QStringLiteral("/Mail/INBOX"), "then");
        const QString old = earlier.run(now.addDays(-40));
        cv::test::writeFile(earlier.source() + QStringLiteral("/Mail/INBOX"), "now");
        const QString recent = earlier.run(now.addDays(-2));

        QProcessEnvironment env = cv::test::engineEnvironment(QStringLiteral("offscreen"),
                                                              QStringLiteral(CV_HISTORY_STANDINS));
        const QString record = home.file(QStringLiteral("versions-record"));
        env.insert(QStringLiteral("CV_VERSIONS_RECORD"), record);
        if (c.fail)
            env.insert(QStringLiteral("CV_DITTO_FAIL"), QStringLiteral("1"));
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        const cv::test::RunResult run = cv::test::runProgram(kEngine, {}, env, 120000);
        ASSERT_FALSE(run.timedOut);

        std::optional<QString> told;
        const QByteArray variable = QByteArray(cv::format::kVersionsDirVariable) + '=';
        for (const QByteArray &line : cv::test::readFile(record).split('\n'))
            if (line.startsWith(variable))
                told = QString::fromUtf8(line.mid(variable.size()));
        const QList<cv::history::JournalRun> runs = cv::history::readJournal(destination);
        ASSERT_EQ(runs.size(), c.pruned ? 2 : 3);
        const cv::history::JournalRun &last = runs.constLast();
        const bool versions = !c.enabled.isValid() || c.enabled.toBool();
        EXPECT_EQ(last.versions, versions);
        EXPECT_EQ(last.outcome, c.fail ? cv::history::RunOutcome::Failed : cv::history::RunOutcome::Success);
        EXPECT_GE(last.start, before.toUTC());
        EXPECT_EQ(told, versions ? std::optional(cv::history::runFolder(destination, last.id)) : std::nullopt);
        QStringList expected = c.pruned ? QStringList{recent} : QStringList{old, recent};
        if (versions)
            expected.append(last.id);
        EXPECT_EQ(cv::history::versionFolders(destination), expected);
        EXPECT_EQ(cv::test::readFile(cv::logFilePath()).contains("Removed the earlier versions"), c.pruned);
        EXPECT_EQ(cv::test::readFile(destination + QStringLiteral("/Mail/INBOX")), "now");
    }
}

// A 20 MB disk, a 7 MB mailbox changed at every run, versions on: a copy
// that runs out of room removes the oldest version folders it may (never the
// newest kept before it, never the mirror) and tries again, so the disk
// never stops the backups for good and every run is in the journal.
TEST(EngineVersions, AFullDiskMakesRoomAndTheBackupsGoOn)
{
    cv::test::ScopedHome home;
    const QString destination = home.file(QStringLiteral("Backup"));
    const cv::test::SmallDisk disk(destination, "20m");
    if (!disk.mounted)
        GTEST_SKIP() << "no tmpfs could be mounted here";
    ASSERT_TRUE(configure(destination));
    const QString inbox = home.file(QStringLiteral("Library/Thunderbird/INBOX"));
    const QProcessEnvironment env = cv::test::engineEnvironment(QStringLiteral("offscreen"));

    QList<bool> succeeded;
    for (int run = 0; run < 5; ++run) {
        SCOPED_TRACE(run);
        QByteArray mail(7 << 20, 0);
        for (qsizetype i = 0; i < mail.size(); i += 4096)
            mail[i] = char(run + 1 + i / 4096);
        cv::test::writeFile(inbox, mail);
        const qint64 logBefore = QFileInfo(cv::logFilePath()).size();
        const QDateTime started = QDateTime::currentDateTimeUtc().addSecs(-1);
        const cv::test::RunResult result = cv::test::runProgram(kEngine, {}, env, 120000);
        ASSERT_FALSE(result.timedOut);
        const QByteArray log = cv::test::readFile(cv::logFilePath()).mid(logBefore);
        const QList<cv::history::JournalRun> runs = cv::history::readJournal(destination);
        ASSERT_FALSE(runs.isEmpty());
        EXPECT_GE(runs.last().start, started) << "this run is in the journal";
        EXPECT_NE(runs.last().outcome, cv::history::RunOutcome::Interrupted);
        const bool ok = runs.last().outcome == cv::history::RunOutcome::Success;
        succeeded.append(ok);
        if (ok) {
            EXPECT_TRUE(cv::test::readFile(destination + QStringLiteral("/INBOX")) == mail) << "the mirror is the source";
        }
        if (log.contains("No space left on device")) {
            EXPECT_TRUE(log.contains("to make room on a full disk")) << log.toStdString();
        }
        EXPECT_FALSE(log.contains(cv::format::kTempPrefix)) << "nothing left unfinished";
        // The newest folder kept before this run is always there.
        if (run > 0) {
            EXPECT_TRUE(QFileInfo(cv::history::runFolder(destination, runs[runs.size() - 2].id)).isDir());
        }
    }
    EXPECT_TRUE(succeeded[0] && succeeded[1]);
    for (int run = 1; run < 5; ++run)
        EXPECT_TRUE(succeeded[run - 1] || succeeded[run]) << "two failures in a row at run " << run;
}
