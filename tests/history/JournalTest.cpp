// The run journal: ids never shared, the order of the runs whatever the
// clock said, and damage that loses one line at most.
#include "RealRuns.h"

#include <gtest/gtest.h>

using namespace cv::history;
using cv::test::finishRun;
using cv::test::startRun;

namespace {

QDateTime utc(int h, int m, int s, int ms = 0)
{
    return QDateTime(QDate(2026, 12, 8), QTime(h, m, s, ms), Qt::UTC);
}

} // namespace

TEST(Journal, RunsGetTheirOwnIdsAndReadBackInTheOrderTheyRan)
{
    cv::test::ScopedHome home;
    const QString dest = home.file(QStringLiteral("Backup"));
    QDir().mkpath(dest);
    EXPECT_TRUE(readJournal(dest).isEmpty());

    // Two runs in one second, one with versions off in the same second, a
    // folder of that name left by someone else, then a clock set back.
    QDir().mkpath(runFolder(dest, QStringLiteral("2026-12-08-093000-3")));
    struct Step { QDateTime start; bool versions; bool success; QString id; };
    const Step steps[] = {
        {utc(9, 30, 0, 100), true, true, QStringLiteral("2026-12-08-093000")},
        {utc(9, 30, 0, 900), false, false, QStringLiteral("2026-12-08-093000-2")},
        {utc(9, 30, 0, 950), true, true, QStringLiteral("2026-12-08-093000-4")},
        {utc(8, 0, 0), true, true, QStringLiteral("2026-12-08-080000")},
    };
    for (const Step &s : steps) {
        const QString id = startRun(dest, s.start, s.versions);
        EXPECT_EQ(id, s.id);
        EXPECT_EQ(QFileInfo(runFolder(dest, id)).isDir(), s.versions);
        finishRun(dest, id, s.start.addMSecs(20), s.success);
    }
    // An interrupted run, then damage: a foreign line and a line cut short.
    ASSERT_FALSE(startRun(dest, utc(10, 0, 0)).isEmpty());
    const QString journalFile = cv::test::inVersions(dest, QLatin1String(cv::format::kJournalName));
    {
        QFile journal(journalFile);
        ASSERT_TRUE(journal.open(QIODevice::Append));
        journal.write("hello\tworld\n"
                      "end\t2026-12-08-093000\t2026-12-08T09:31:00.000Z\tfailed\n" // ended already
                      "end\t2026-12-08-100000\t2026-12-08T10:00");
    }
    ASSERT_FALSE(startRun(dest, utc(11, 0, 0), false).isEmpty());

    const QList<JournalRun> runs = readJournal(dest);
    ASSERT_EQ(runs.size(), 6) << cv::test::readFile(journalFile).toStdString();
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(runs[i].id, steps[i].id);
        EXPECT_EQ(runs[i].start, steps[i].start);
        EXPECT_EQ(runs[i].end, steps[i].start.addMSecs(20));
        EXPECT_EQ(runs[i].versions, steps[i].versions);
        EXPECT_EQ(runs[i].outcome, steps[i].success ? RunOutcome::Success : RunOutcome::Failed);
    }
    EXPECT_EQ(runs[4].outcome, RunOutcome::Interrupted);
    EXPECT_FALSE(runs[4].end.isValid());
    EXPECT_EQ(runs[5].id, QStringLiteral("2026-12-08-110000"));
    EXPECT_FALSE(runs[5].versions);

    // Pruning drops the lines of the runs named, keeps the rest as they were.
    ASSERT_TRUE(dropFromJournal(dest, {steps[0].id, steps[1].id}));
    const QList<JournalRun> pruned = readJournal(dest);
    ASSERT_EQ(pruned.size(), 4);
    EXPECT_EQ(pruned[0].id, steps[2].id);
    EXPECT_EQ(pruned[3].id, runs[5].id);
    // Freed ids go out again only where no folder holds them.
    EXPECT_EQ(startRun(dest, steps[0].start, false), QStringLiteral("2026-12-08-093000-2"));
    EXPECT_EQ(startRun(dest, steps[2].start), QStringLiteral("2026-12-08-093000-5"));
}
