// The backup at a point in time: what each point shows, and what the list of
// points says about each run.
#include "BackupHistory.h"
#include "HistoryTestSupport.h"

#include <gtest/gtest.h>

using namespace cv::history;
using cv::test::BackupOnDisk;

namespace {

const QString kRun1 = QStringLiteral("2026-11-02-090000");
const QString kRun2 = QStringLiteral("2026-11-09-090000");
const QString kRun3 = QStringLiteral("2026-11-16-090000");

QByteArray contentAt(const BackupHistory &history, const QString &path, const QString &stamp)
{
    const auto entry = history.entryAt(path, stamp);
    return entry ? cv::test::readFile(entry->diskPath) : QByteArray("<absent>");
}

QStringList pathsOf(const QList<Entry> &tree)
{
    QStringList paths;
    for (const Entry &e : tree)
        paths.append(e.path);
    return paths;
}

} // namespace

// Three runs change one mailbox (content, size, then its type); another one
// is deleted from the source after the first, one is created by the second.
TEST(BackupHistoryModel, EveryEarlierStateComesBackByItsDate)
{
    cv::test::ScopedHome home;
    BackupOnDisk disk(home.file(QStringLiteral("Backup")));
    disk.put(QStringLiteral("Mail/INBOX"), "first");
    disk.put(QStringLiteral("Mail/Deleted"), "kept forever");
    const ino_t original = cv::test::inodeOf(disk.mirror(QStringLiteral("Mail/INBOX")));

    disk.replace(kRun1, QStringLiteral("Mail/INBOX"), "secnd");
    disk.replace(kRun2, QStringLiteral("Mail/INBOX"), "third, longer");
    disk.create(kRun2, QStringLiteral("Mail/New"), "made by run 2");
    disk.record(kRun2, QStringLiteral("Archive"));
    QDir().mkpath(disk.mirror(QStringLiteral("Archive/2026")));
    cv::test::writeFile(disk.mirror(QStringLiteral("Archive/2026/old")), "inside a new folder");
    disk.replaceByFolder(kRun3, QStringLiteral("Mail/INBOX"), QStringLiteral("msg1"), "now a folder");

    BackupHistory history(disk.mirror({}));
    // The point of a run shows the backup just before that run changed it.
    struct Case { QString stamp; QByteArray inbox; QByteArray newMail; QByteArray archived; };
    const Case cases[] = {
        {kRun1, "first", "<absent>", "<absent>"},
        {QStringLiteral("2026-11-05-120000"), "secnd", "<absent>", "<absent>"}, // any time between runs
        {kRun2, "secnd", "<absent>", "<absent>"},
        {kRun3, "third, longer", "made by run 2", "inside a new folder"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.stamp.toStdString());
        EXPECT_EQ(contentAt(history, QStringLiteral("Mail/INBOX"), c.stamp), c.inbox);
        EXPECT_EQ(history.entryAt(QStringLiteral("Mail/INBOX"), c.stamp)->kind, EntryKind::File);
        EXPECT_EQ(contentAt(history, QStringLiteral("Mail/INBOX/msg1"), c.stamp), "<absent>");
        EXPECT_EQ(contentAt(history, QStringLiteral("Mail/New"), c.stamp), c.newMail);
        EXPECT_EQ(contentAt(history, QStringLiteral("Archive/2026/old"), c.stamp), c.archived);
        EXPECT_EQ(contentAt(history, QStringLiteral("Mail/Deleted"), c.stamp), "kept forever");
    }
    EXPECT_EQ(history.entryAt(QStringLiteral("Mail/INBOX"), {})->kind, EntryKind::Folder);
    EXPECT_EQ(contentAt(history, QStringLiteral("Mail/INBOX/msg1"), {}), "now a folder");
    // The first state is the very inode the first run wrote: nothing was copied.
    EXPECT_EQ(cv::test::inodeOf(history.entryAt(QStringLiteral("Mail/INBOX"), kRun1)->diskPath), original);
    // The versions folder itself is never part of the backup.
    for (const QString &stamp : {QString(), kRun1})
        for (const QString &path : pathsOf(history.treeAt(stamp)))
            EXPECT_FALSE(path.startsWith(QLatin1String(".corvantis"))) << path.toStdString();
}

TEST(BackupHistoryModel, PointsListRunsThatKeptSomethingNewestFirstAndSkipStrangeNames)
{
    cv::test::ScopedHome home;
    BackupOnDisk disk(home.file(QStringLiteral("Backup")));
    disk.put(QStringLiteral("a"), "12345");
    disk.put(QStringLiteral("b/c"), "123");
    disk.replace(kRun1, QStringLiteral("a"), "x");
    disk.replace(kRun1, QStringLiteral("b/c"), "y");
    disk.create(kRun2, QStringLiteral("only-created"), "z"); // kept nothing
    disk.replace(kRun3, QStringLiteral("a"), "xy");
    QDir().mkpath(disk.run(QStringLiteral("2026-11-20-09000"))); // half-written name
    cv::test::writeFile(disk.run(QStringLiteral("notes.txt")), "a user's file");
    // An interrupted record: the last path has no NUL yet and is not read.
    cv::test::writeFile(disk.run(kRun3) + QStringLiteral("/.corvantis-created"), QByteArray("new\0half", 8));

    BackupHistory history(disk.mirror({}));
    const QDateTime last = QDateTime(QDate(2026, 11, 16), QTime(9, 5));
    const QList<Point> points = history.points(last);
    ASSERT_EQ(points.size(), 3);
    EXPECT_TRUE(points[0].isLatest());
    EXPECT_EQ(points[0].time, last);
    EXPECT_EQ(points[1].stamp, kRun3);
    EXPECT_EQ(points[1].files, 1);
    EXPECT_EQ(points[1].bytes, 1);
    EXPECT_EQ(points[2].stamp, kRun1);
    EXPECT_EQ(points[2].time, QDateTime(QDate(2026, 11, 2), QTime(9, 0)));
    EXPECT_EQ(points[2].files, 2);
    EXPECT_EQ(points[2].bytes, 8);
    EXPECT_EQ(readCreatedRecord(disk.run(kRun3)), QStringList{QStringLiteral("new")});
}

TEST(BackupHistoryModel, SearchKeepsMatchesAndTheFoldersAboveThem)
{
    cv::test::ScopedHome home;
    BackupOnDisk disk(home.file(QStringLiteral("Backup")));
    for (const char *path : {"Local Folders/Inbox", "Local Folders/Sent", "Profiles/x/INBOX.msf", "Profiles/x/prefs.js"})
        disk.put(QString::fromLatin1(path), "m");
    const QList<Entry> tree = BackupHistory(disk.mirror({})).treeAt({});
    EXPECT_EQ(pathsOf(BackupHistory::filtered(tree, QStringLiteral("inbox"))),
              (QStringList{QStringLiteral("Local Folders"), QStringLiteral("Local Folders/Inbox"),
                           QStringLiteral("Profiles"), QStringLiteral("Profiles/x"),
                           QStringLiteral("Profiles/x/INBOX.msf")}));
    EXPECT_EQ(BackupHistory::filtered(tree, QStringLiteral("  ")).size(), tree.size());
    EXPECT_EQ(pathsOf(BackupHistory::subtree(tree, QStringLiteral("Local Folders"))),
              (QStringList{QStringLiteral("Local Folders"), QStringLiteral("Local Folders/Inbox"),
                           QStringLiteral("Local Folders/Sent")}));
}
