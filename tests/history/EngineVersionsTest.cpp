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
        if (versions)
            continue;
        // Turned on again: the journal says which runs kept nothing.
        defaults.setBoolean(QStringLiteral("versionsEnabled"), true);
        ASSERT_TRUE(defaults.synchronize());
        ASSERT_FALSE(cv::test::runProgram(kEngine, {}, env, 120000).timedOut);
        const QList<cv::history::JournalRun> after = cv::history::readJournal(destination);
        ASSERT_EQ(after.size(), 2);
        EXPECT_FALSE(after[0].versions);
        EXPECT_TRUE(after[1].versions);
        EXPECT_TRUE(QFileInfo(cv::history::runFolder(destination, after[1].id)).isDir());
    }
}

namespace {

struct Mount {
    explicit Mount(const QString &path, const QString &size)
        : path(path)
    {
        QDir().mkpath(path);
        const auto r = cv::test::runProgram(QStringLiteral("/bin/mount"),
                                            {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                             QStringLiteral("size=") + size, QStringLiteral("tmpfs"), path});
        mounted = r.exitCode == 0 && !r.crashed;
        why = QString::fromLocal8Bit(r.err).trimmed();
    }
    ~Mount()
    {
        if (mounted)
            cv::test::runProgram(QStringLiteral("/bin/umount"), {QStringLiteral("-l"), path});
    }
    QString path;
    bool mounted = false;
    QString why;
};

} // namespace

// A 20 MB disk, a 7 MB mailbox changed at every run, versions on: a copy
// that runs out of room removes the oldest version folders it may (never the
// newest kept before it, never the mirror) and tries again, so the disk
// never stops the backups for good and every run is in the journal.
TEST(EngineVersions, AFullDiskMakesRoomAndTheBackupsGoOn)
{
    cv::test::ScopedHome home;
    const QString destination = home.file(QStringLiteral("Backup"));
    const Mount disk(destination, QStringLiteral("20m"));
    if (!disk.mounted)
        GTEST_SKIP() << "no tmpfs could be mounted here: " << disk.why.toStdString();
    ASSERT_TRUE(cv::test::writeEngineSettings(
        QStringLiteral("Corvantis is currently configured to backup Thunderbird on Run Now only."),
        {{QStringLiteral("Client"), QStringLiteral("Thunderbird")}, {QStringLiteral("Destination"), destination}}));
    cv::platform::UserDefaults defaults(cv::defaultsFilePath());
    defaults.setInteger(QStringLiteral("keepVersions"), 7);
    ASSERT_TRUE(defaults.synchronize());
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
        EXPECT_FALSE(log.contains(".ditto-")) << "nothing left unfinished";
        // The newest folder kept before this run is always there.
        if (run > 0) {
            EXPECT_TRUE(QFileInfo(cv::history::runFolder(destination, runs[runs.size() - 2].id)).isDir());
        }
    }
    EXPECT_TRUE(succeeded[0] && succeeded[1]);
    for (int run = 1; run < 5; ++run)
        EXPECT_TRUE(succeeded[run - 1] || succeeded[run]) << "two failures in a row at run " << run;
}
