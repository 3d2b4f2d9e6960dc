// Removing old versions after a successful run, the low-space warning and
// what a run tells the copy command.
#include "HistoryTestSupport.h"
#include "Journal.h"
#include "Retention.h"

#include <gtest/gtest.h>

#include <fcntl.h>

using namespace cv::history;
using cv::test::BackupOnDisk;

TEST(Retention, OldFoldersGoOldestFirstWhileTheNewestTheMirrorAndStrangersStay)
{
    const QDateTime now(QDate(2026, 12, 7), QTime(21, 0));
    auto stampDaysAgo = [&](int days) { return stampForTime(now.addDays(-days)); };
    struct Case { int keepDays; QList<int> ages; QList<int> left; };
    const Case cases[] = {
        {7, {40, 20, 6, 1}, {6, 1}},
        {31, {400, 100, 40, 20, 6}, {20, 6}},
        {0, {4000, 400, 1}, {4000, 400, 1}},   // always
        {7, {90, 60}, {60}},                   // the newest stays, however old
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.keepDays);
        cv::test::ScopedHome home;
        BackupOnDisk disk(home.file(QStringLiteral("Backup")));
        disk.put(QStringLiteral("Mail/INBOX"), "now");
        for (int age : c.ages) {
            disk.replace(stampDaysAgo(age), QStringLiteral("Mail/INBOX"), "now");
            // A read-only kept folder must not stop the removal.
            QDir().mkpath(disk.run(stampDaysAgo(age)) + QStringLiteral("/Locked/inner"));
            chmod(QFile::encodeName(disk.run(stampDaysAgo(age)) + QStringLiteral("/Locked")).constData(), 0500);
        }
        cv::test::writeFile(disk.run(QStringLiteral("2000-01-01-00000x")), "not ours");

        QStringList lines;
        const QStringList removed =
            pruneVersions(disk.mirror({}), c.keepDays, now, [&](const QString &line) { lines.append(line); });
        EXPECT_EQ(removed.size(), c.ages.size() - c.left.size());
        EXPECT_EQ(lines.size(), removed.size());
        for (qsizetype i = 1; i < removed.size(); ++i)
            EXPECT_LT(removed[i - 1], removed[i]); // oldest first
        QStringList expected;
        for (int age : c.left)
            expected.append(stampDaysAgo(age));
        EXPECT_EQ(versionFolders(disk.mirror({})), expected);
        EXPECT_EQ(cv::test::readFile(disk.mirror(QStringLiteral("Mail/INBOX"))), "now");
        EXPECT_TRUE(QFileInfo::exists(disk.run(QStringLiteral("2000-01-01-00000x"))));
    }
}

TEST(Retention, LowSpaceWarnsBelowATenthOnly)
{
    QStringList lines;
    const LogSink log = [&](const QString &line) { lines.append(line); };
    EXPECT_FALSE(warnIfLowOnSpace(QStringLiteral("/backup"), log, 0.10));
    EXPECT_TRUE(warnIfLowOnSpace(QStringLiteral("/backup"), log, 0.042));
    ASSERT_EQ(lines.size(), 1);
    EXPECT_EQ(lines[0], QStringLiteral("Warning: only 4.2 % of the disk holding '/backup' is free after this backup."));
    EXPECT_TRUE(freeShare(QDir::tempPath()).has_value());
    EXPECT_FALSE(freeShare(QStringLiteral("/no/such/folder")).has_value());
}

TEST(Retention, EachRunGetsItsOwnFolderFromTheSettingsAndNothingOnAMissingDisk)
{
    cv::test::ScopedHome home;
    const QString dest = home.file(QStringLiteral("Backup"));
    QDir().mkpath(dest);
    const QDateTime start(QDate(2026, 3, 4), QTime(5, 6, 7), Qt::UTC);
    const QString root = dest + QStringLiteral("/.corvantis-versions/");
    // A run that died (no end line) with a copy cut short in its folder.
    const auto dead = beginRun(dest, start.addDays(-1), true);
    ASSERT_TRUE(dead);
    const QByteArray drafts = QFile::encodeName(runFolder(dest, *dead)) + "/Entw\374rfe";
    const QByteArray leftover = drafts + "/.ditto-4194304-7", notOurs = drafts + "/.ditto-notes";
    ASSERT_EQ(::mkdir(drafts.constData(), 0700), 0);
    for (const QByteArray &path : {leftover, notOurs})
        ::close(::open(path.constData(), O_WRONLY | O_CREAT, 0600));
    struct Case { QVariantMap defaults; QString folder; };
    const Case cases[] = {
        {{}, root + QStringLiteral("2026-03-04-050607")},
        {{{QStringLiteral("versionsEnabled"), true}, {QStringLiteral("keepVersions"), 7LL}},
         root + QStringLiteral("2026-03-04-050607-2")}, // the same second: a folder of its own
        {{{QStringLiteral("versionsEnabled"), false}}, {}},
        {{{QStringLiteral("versionsEnabled"), QStringLiteral("no")}}, // damage reads as the default
         root + QStringLiteral("2026-03-04-050607-4")},
    };
    for (const Case &c : cases) {
        RunVersions run = RunVersions::forRun(QVariantMap{{QStringLiteral("Destination"), dest}}, c.defaults);
        QString why;
        ASSERT_TRUE(run.begin(start, {}, &why)) << qPrintable(why);
        EXPECT_EQ(run.versionsFolder(), c.folder);
        EXPECT_EQ(qEnvironmentVariable(cv::format::kVersionsDirVariable), c.folder);
        EXPECT_EQ(QFileInfo(c.folder).isDir(), !c.folder.isEmpty());
        run.end(true, start, {});
    }
    EXPECT_NE(::access(leftover.constData(), F_OK), 0);
    EXPECT_EQ(::access(notOurs.constData(), F_OK), 0);
    const QList<JournalRun> runs = readJournal(dest);
    ASSERT_EQ(runs.size(), 5);
    EXPECT_EQ(runs[0].outcome, RunOutcome::Interrupted);
    EXPECT_FALSE(runs[3].versions);
    EXPECT_EQ(runs[4].outcome, RunOutcome::Success);

    // A journal that cannot be written: no run, and no folder left that
    // would read as one from before the journal.
    const QString damaged = home.file(QStringLiteral("Damaged"));
    QDir().mkpath(damaged + QStringLiteral("/.corvantis-versions/journal"));
    RunVersions refused = RunVersions::forRun(QVariantMap{{QStringLiteral("Destination"), damaged}}, std::nullopt);
    QString why;
    EXPECT_FALSE(refused.begin(start, {}, &why));
    EXPECT_TRUE(why.startsWith(QStringLiteral("No backup made: the run could not be recorded"))) << qPrintable(why);
    EXPECT_EQ(versionFolders(damaged), QStringList());

    RunVersions unplugged = RunVersions::forRun(
        QVariantMap{{QStringLiteral("Destination"), home.file(QStringLiteral("Unplugged"))}}, std::nullopt);
    EXPECT_TRUE(unplugged.begin(start, {}, nullptr));
    EXPECT_TRUE(unplugged.versionsFolder().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(home.file(QStringLiteral("Unplugged"))));
    EXPECT_FALSE(RunVersions::forRun(std::nullopt, std::nullopt).enabled());
    EXPECT_EQ(HistorySettings::fromDefaults({{QStringLiteral("keepVersions"), -3LL}}).keepDays, kDefaultKeepDays);
    EXPECT_EQ(HistorySettings::fromDefaults({{QStringLiteral("keepVersions"), 0LL}}).keepDays, 0);
    qunsetenv(cv::format::kVersionsDirVariable);
}

// On a full disk: the oldest folders go until one gives room back (a run
// that kept nothing frees nothing), with their journal lines; the newest
// kept before this run and this run's own stay, whatever the settings say.
TEST(Retention, MakingRoomTakesTheOldestUntilRoomComesBackNeverTheNewest)
{
    cv::test::ScopedHome home;
    const QString dest = home.file(QStringLiteral("Backup"));
    QDir().mkpath(dest);
    const QDateTime first(QDate(2026, 12, 1), QTime(9, 0), Qt::UTC);
    const QString kept = QStringLiteral("Mail/INBOX");
    QStringList ids;
    for (int day = 0; day < 3; ++day) {
        ids.append(*beginRun(dest, first.addDays(day), true));
        if (day > 0)
            cv::test::writeFile(runFolder(dest, ids.last()) + QLatin1Char('/') + kept, QByteArray(8192, 'x'));
        cv::test::writeFile(runFolder(dest, ids.last()) + QStringLiteral("/.corvantis-created"), "Mail/new");
        ASSERT_TRUE(endRun(dest, ids.last(), first.addDays(day), true));
    }
    RunVersions run = RunVersions::forRun(QVariantMap{{QStringLiteral("Destination"), dest}},
                                          QVariantMap{{QStringLiteral("keepVersions"), 0LL}});
    ASSERT_TRUE(run.begin(first.addDays(3), {}, nullptr));
    QStringList lines;
    const LogSink log = [&](const QString &line) { lines.append(line); };
    EXPECT_TRUE(run.makeRoom(log));
    EXPECT_EQ(lines.size(), 2);
    EXPECT_FALSE(run.makeRoom(log)) << "only the newest before this run is left";
    EXPECT_EQ(versionFolders(dest), (QStringList{ids[2], run.id()}));
    EXPECT_EQ(readJournal(dest).size(), 2);
    const QString day1 = first.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    const QString day2 = first.addDays(1).toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    EXPECT_EQ(run.removedForRoom(),
              QStringLiteral("To make room, the earlier versions kept by the backups of %1, %2 were removed.")
                  .arg(day1, day2));
    run.end(false, first.addDays(3), {});
    qunsetenv(cv::format::kVersionsDirVariable);
}
