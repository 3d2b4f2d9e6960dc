// Removing old versions after a successful run, the low-space warning and
// what a run tells the copy command.
#include "RealRuns.h"
#include "Retention.h"

#include <gtest/gtest.h>

using namespace cv::history;
using cv::test::inVersions;

// Runs of the real ditto, each changing the mailbox; the oldest from before
// the journal (folders named by local time), the rest journalled.
TEST(Retention, OldFoldersGoOldestFirstWhileTheNewestTheMirrorAndStrangersStay)
{
    const QDateTime now(QDate(2026, 12, 7), QTime(21, 0));
    struct Case { int keepDays; QList<int> ages; QList<int> left; int beforeJournal; };
    const Case cases[] = {
        {7, {40, 20, 6, 1}, {6, 1}, 1},
        {31, {400, 100, 40, 20, 6}, {20, 6}, 2},
        {0, {4000, 400, 1}, {4000, 400, 1}, 1}, // always
        {7, {90, 60}, {60}, 2},                 // the newest stays, however old
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.keepDays);
        cv::test::ScopedHome home;
        cv::test::RealRuns runs(home.file(QStringLiteral("Source")), home.file(QStringLiteral("Backup")));
        QMap<int, QString> folderOfAge;
        for (int age : c.ages) {
            cv::test::writeFile(runs.source() + QStringLiteral("/Mail/INBOX"), QByteArray::number(age));
            const QString folder = folderOfAge.size() < c.beforeJournal ? runs.oldRun(stampForTime(now.addDays(-age)))
                                                                         : runs.run(now.addDays(-age).toUTC());
            folderOfAge.insert(age, folder);
            // A read-only kept folder must not stop the removal.
            QDir().mkpath(inVersions(runs.destination(), folder) + QStringLiteral("/Locked/inner"));
            chmod(QFile::encodeName(inVersions(runs.destination(), folder) + QStringLiteral("/Locked")).constData(), 0500);
        }
        const QString stranger = inVersions(runs.destination(), QStringLiteral("2000-01-01-00000x"));
        cv::test::writeFile(stranger, "not ours");

        QStringList lines;
        const QStringList removed =
            pruneVersions(runs.destination(), c.keepDays, now, [&](const QString &line) { lines.append(line); });
        EXPECT_EQ(removed.size(), c.ages.size() - c.left.size());
        EXPECT_EQ(lines.size(), removed.size());
        for (qsizetype i = 0; i < removed.size(); ++i) // oldest first
            EXPECT_EQ(removed[i], inVersions(runs.destination(), folderOfAge.value(c.ages[i])));
        QStringList expected;
        for (int age : c.left)
            expected.append(folderOfAge.value(age));
        EXPECT_EQ(versionFolders(runs.destination()), expected);
        QStringList journalled; // the pruned runs' lines are gone
        for (const JournalRun &run : readJournal(runs.destination()))
            journalled.append(run.id);
        EXPECT_EQ(journalled, expected.mid(qMax<qsizetype>(0, c.beforeJournal - removed.size())));
        EXPECT_EQ(cv::test::readFile(runs.destination() + QStringLiteral("/Mail/INBOX")),
                  QByteArray::number(c.ages.constLast()));
        EXPECT_TRUE(QFileInfo::exists(stranger));
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
    const QString root = inVersions(dest, {});
    // A run that was killed (no end line) in a copy: its temporary file left.
    const QString dead = cv::test::startRun(dest, start.addDays(-1));
    ASSERT_FALSE(dead.isEmpty());
    const QByteArray drafts = QFile::encodeName(inVersions(dest, dead)) + "/Entw\374rfe";
    const QByteArray leftover = drafts + "/" + cv::format::kTempPrefix + "4194304-7";
    const QByteArray notOurs = drafts + "/" + cv::format::kTempPrefix + "notes";
    ASSERT_EQ(::mkdir(drafts.constData(), 0700), 0);
    for (const QByteArray &path : {leftover, notOurs})
        cv::test::writeBytes(path, {});
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
    QDir().mkpath(inVersions(damaged, QLatin1String(cv::format::kJournalName))); // a folder in its place
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
    // The first run keeps nothing but its record of created files.
    cv::test::RealRuns runs(home.file(QStringLiteral("Source")), dest);
    QStringList ids;
    for (int day = 0; day < 3; ++day) {
        cv::test::writeFile(runs.source() + QStringLiteral("/Mail/INBOX"), QByteArray(8192, char('a' + day)));
        ids.append(runs.run(first.addDays(day)));
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
