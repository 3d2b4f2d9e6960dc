// The backup at a point in time, over backups the real `ditto` made under
// the journal: every point gives back exactly the state of its run.
#include "BackupHistory.h"
#include "RealRuns.h"
#include "Restore.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

using namespace cv::history;
using cv::test::RealRuns;
using cv::test::EntryState;
using cv::test::TreeState;

namespace {

const QDateTime kStart(QDate(2026, 12, 8), QTime(9, 30), Qt::UTC);

// Restores the whole backup at `point` into `out` and reads it back.
TreeState restoredAt(const BackupHistory &history, const Point &point, const QString &out)
{
    const QList<Entry> tree = history.treeAt(point);
    QList<QByteArray> top;
    for (const Entry &e : tree)
        if (!e.path.contains('/'))
            top.append(e.path);
    const RestoreResult result = restoreTo(tree, top, out);
    EXPECT_TRUE(result.ok()) << result.errors.join(u'\n').toStdString();
    return cv::test::snapshot(out);
}

// The first entry that differs, readably (kind '-': absent); empty when none does.
QString firstDifference(const TreeState &want, const TreeState &got)
{
    const EntryState absent{'-', {}};
    const auto describe = [&absent](const TreeState &tree, const QByteArray &path) {
        const EntryState e = tree.value(path, absent);
        return QStringLiteral("kind %1 mode %2 mtime %3 size %4").arg(e.kind).arg(e.mode, 0, 8).arg(e.mtimeNs).arg(e.data.size());
    };
    for (const QByteArray &path : want.keys() + got.keys())
        if (!(want.value(path, absent) == got.value(path, absent)))
            return readableName(path) + QStringLiteral(": ") + describe(want, path) + QStringLiteral(", restored ")
                + describe(got, path);
    return {};
}

// One random edit of the source: content, size, deletion, a type change,
// permissions or times alone, or a new large file.
void editOnce(const QByteArray &root, std::mt19937 &random, qint64 &clock)
{
    static const char *files[] = {"a", "b", "Mail/INBOX", "Mail/Sent", "Mail/Old/2019", "x"};
    const QByteArray file = root + '/' + files[random() % std::size(files)];
    switch (random() % 7) {
    case 0:
    case 1: { // content, often of another size
        std::filesystem::create_directories(std::filesystem::path(file.toStdString()).parent_path());
        cv::test::writeBytes(file, QByteArray(int(random() % 300), char('a' + random() % 26)));
        cv::test::setMtime(file, ++clock);
        break;
    }
    case 2: // deletion
        std::filesystem::remove_all(file.toStdString());
        break;
    case 3: // permissions alone (of a file that may be gone: then nothing)
        chmod(file.constData(), (random() % 2) ? 0600 : 0640);
        break;
    case 4: // times alone
        cv::test::setMtime(file, ++clock);
        break;
    case 5: { // a file became a folder, or a folder a file
        const QByteArray x = root + "/x";
        struct stat st {};
        const bool folder = lstat(x.constData(), &st) == 0 && S_ISDIR(st.st_mode);
        std::filesystem::remove_all(x.toStdString());
        if (folder) {
            cv::test::writeBytes(x, "a file again");
        } else {
            mkdir(x.constData(), 0755);
            cv::test::writeBytes(x + "/child" + QByteArray::number(clock), "inside");
        }
        cv::test::setMtime(x, ++clock);
        break;
    }
    default: { // a new large file
        const QByteArray big = root + "/big" + QByteArray::number(++clock);
        cv::test::writeBytes(big, QByteArray(3 << 20, char('A' + random() % 26)));
        cv::test::setMtime(big, clock);
        break;
    }
    }
}

} // namespace

// Random edit histories through the real ditto and the real model, the runs
// alternating between two time zones: each point restores the backup exactly
// as its run left it.
TEST(BackupHistoryModel, EveryPointRestoresTheExactStateOfItsRun)
{
    for (const unsigned seed : {11u, 29u, 47u}) {
        SCOPED_TRACE(seed);
        cv::test::ScopedHome home;
        RealRuns runs(home.file(QStringLiteral("Source")), home.file(QStringLiteral("Backup")));
        const QByteArray root = QFile::encodeName(runs.source());
        std::mt19937 random(seed);
        qint64 clock = 1700000000;
        cv::test::ScopedTimeZone zone(nullptr); // the runs alternate between two
        cv::test::writeBytes(root + "/a", "first");
        QMap<QString, TreeState> states; // run id -> the backup as that run left it
        QString last;
        for (int r = 0; r < 8; ++r) {
            zone.set(r % 2 ? "America/New_York" : "Europe/Berlin");
            for (int n = 1 + int(random() % 3); n > 0; --n)
                editOnce(root, random, clock);
            last = runs.run(kStart.addSecs(3600 * r));
            states.insert(last, cv::test::snapshot(runs.destination()));
        }
        zone.set(nullptr);
        states.insert(QString::fromLatin1(kLatestPointId), states.value(last));

        const BackupHistory history(runs.destination());
        const QList<Point> points = history.points();
        ASSERT_GE(points.size(), 4);
        for (const Point &point : points) {
            ASSERT_TRUE(states.contains(point.id)) << point.id.toStdString();
            const QString out = home.file(QStringLiteral("Out/") + point.id);
            const QString difference = firstDifference(states.value(point.id), restoredAt(history, point, out));
            EXPECT_TRUE(difference.isEmpty()) << "seed " << seed << ", point " << point.id.toStdString() << ": "
                                              << difference.toStdString();
        }
    }
}

// The cases a random history may miss: a folder that became a file and then
// a folder with a new child; two runs in one second; a clock set back; names
// that are not UTF-8.
TEST(BackupHistoryModel, TypeChangesRunsInOneSecondSetBackClocksAndByteNames)
{
    cv::test::ScopedHome home;
    RealRuns runs(home.file(QStringLiteral("Source")), home.file(QStringLiteral("Backup")));
    const QByteArray src = QFile::encodeName(runs.source());
    mkdir(src + "/D", 0755);
    cv::test::writeBytes(src + "/D/old", "old child");
    cv::test::writeBytes(src + "/Entw\374rfe", "latin-1 u");
    cv::test::writeBytes(src + "/Entw\344rfe", "latin-1 a");
    const QString first = runs.run(kStart);
    std::filesystem::remove_all((src + "/D").toStdString());
    cv::test::writeBytes(src + "/D", "now a file");
    cv::test::writeBytes(src + "/Entw\374rfe", "changed");
    const QString second = runs.run(kStart.addMSecs(300)); // the same second
    std::filesystem::remove_all((src + "/D").toStdString());
    mkdir(src + "/D", 0755);
    cv::test::writeBytes(src + "/D/new", "new child");
    const QString third = runs.run(kStart.addSecs(-3600)); // the clock was set back
    EXPECT_EQ(second, first + QStringLiteral("-2"));

    const BackupHistory history(runs.destination());
    const QList<Point> points = history.points();
    ASSERT_EQ(points.size(), 3);
    EXPECT_EQ(points[1].id, second); // journal order, whatever the clock said
    EXPECT_EQ(points[2].id, first);
    const auto at = [&](const char *path, int point) {
        const auto e = history.entryAt(QByteArray(path), points[point]);
        return e ? (e->kind == EntryKind::Folder ? QByteArray("<folder>") : cv::test::readBytes(e->diskPath))
                 : QByteArray("<absent>");
    };
    struct Case { const char *path; QByteArray latest, second, first; };
    const Case cases[] = {
        {"D", "<folder>", "now a file", "<folder>"},
        {"D/new", "new child", "<absent>", "<absent>"},
        {"D/old", "<absent>", "<absent>", "old child"},
        {"Entw\374rfe", "changed", "changed", "latin-1 u"},
        {"Entw\344rfe", "latin-1 a", "latin-1 a", "latin-1 a"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(at(c.path, 0), c.latest);
        EXPECT_EQ(at(c.path, 1), c.second);
        EXPECT_EQ(at(c.path, 2), c.first);
        // The tree agrees with the single look-up.
        for (int p = 0; p < 3; ++p) {
            const QList<Entry> found = BackupHistory::subtree(history.treeAt(points[p]), QByteArray(c.path));
            EXPECT_EQ(!found.isEmpty(), at(c.path, p) != "<absent>") << p;
        }
    }
    // Shown readably and apart, never merged.
    QStringList names;
    for (const Entry &e : history.treeAt(points[0]))
        names.append(e.name());
    EXPECT_TRUE(names.contains(QStringLiteral("Entw\\xFCrfe")) && names.contains(QStringLiteral("Entw\\xE4rfe")))
        << names.join(u',').toStdString();
    // Restored exactly, byte for byte in the name.
    const QString out = home.file(QStringLiteral("Out"));
    ASSERT_TRUE(restoreTo(history.treeAt(points[2]), {QByteArray("Entw\374rfe")}, out).ok());
    EXPECT_EQ(cv::test::readBytes(QFile::encodeName(out) + "/Entw\374rfe"), "latin-1 u");
}

// A run with versions off ends the history before it; versions on again
// start a new one. A failed run's point says so. Folders from before the
// journal still read, as the points before its first run.
TEST(BackupHistoryModel, VersionsOffFailedRunsAndFoldersFromBeforeTheJournal)
{
    cv::test::ScopedHome home;
    RealRuns runs(home.file(QStringLiteral("Source")), home.file(QStringLiteral("Backup")));
    const QByteArray src = QFile::encodeName(runs.source());
    cv::test::writeBytes(src + "/INBOX", "v1");
    runs.ditto({}); // the very first copy, before versions existed
    cv::test::writeBytes(src + "/INBOX", "v2");
    runs.oldRun(QStringLiteral("2026-12-01-100000"));
    cv::test::writeBytes(src + "/INBOX", "v3");
    const QString a = runs.run(kStart);
    cv::test::writeBytes(src + "/INBOX", "v4");
    const QString b = runs.run(kStart.addSecs(60), true, false);
    cv::test::writeBytes(src + "/INBOX", "v5");
    runs.run(kStart.addSecs(120));

    const auto ids = [&] {
        QStringList out;
        for (const Point &p : BackupHistory(runs.destination()).points())
            out.append(p.id + (p.failed ? QStringLiteral("!") : QString()));
        return out;
    };
    EXPECT_EQ(ids(), (QStringList{QStringLiteral("latest"), b + QStringLiteral("!"), a,
                                  QStringLiteral("2026-12-01-100000"), QStringLiteral("before-2026-12-01-100000")}));
    const BackupHistory history(runs.destination());
    const QByteArray expected[] = {"v5", "v4", "v3", "v2", "v1"};
    const QList<Point> points = history.points();
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(cv::test::readBytes(history.entryAt("INBOX", points[i])->diskPath), expected[i]) << i;
    EXPECT_EQ(history.versionsOf("INBOX").size(), 5);

    cv::test::writeBytes(src + "/INBOX", "v6");
    const QString off = runs.run(kStart.addSecs(180), false); // versions off: earlier points cannot be rebuilt
    EXPECT_EQ(ids(), QStringList{QStringLiteral("latest")});
    cv::test::writeBytes(src + "/INBOX", "v7");
    runs.run(kStart.addSecs(240));
    EXPECT_EQ(ids(), (QStringList{QStringLiteral("latest"), off}));
}

// Labels tell points apart: to the minute, to the second where two would
// read alike, and a failed run's point says so.
TEST(BackupHistoryModel, LabelsSayWhenTheDataWasBackedUp)
{
    const cv::test::ScopedTimeZone utc("UTC");
    const auto at = [](int h, int m, int s) { return QDateTime(QDate(2026, 12, 8), QTime(h, m, s), Qt::UTC); };
    QList<Point> points(4);
    points[0].latest = true;
    points[0].time = at(12, 48, 5);
    points[1].time = at(12, 48, 1);
    points[1].failed = true;
    points[2].time = at(9, 30, 0);
    EXPECT_EQ(pointLabels(points),
              (QStringList{QStringLiteral("Latest backup\nBackup of Tue 8 Dec, 12:48:05"),
                           QStringLiteral("Backup of Tue 8 Dec, 12:48:01 (failed)"),
                           QStringLiteral("Backup of Tue 8 Dec, 09:30"), QStringLiteral("date unknown")}));
}
