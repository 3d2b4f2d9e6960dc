// Getting entries back: never over anything, with their metadata, into the
// client's own place only after the client has quit and only whole, and
// always from the backup as it is now.
#include "FileCopy.h"
#include "RealRuns.h"
#include "Restore.h"
#include "RestoreSession.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QThread>

#include <iostream>

#include <fcntl.h>
#include <sys/stat.h>

using namespace cv::history;
using cv::test::RealRuns;

namespace {

const QDateTime kStart(QDate(2026, 12, 8), QTime(9, 30), Qt::UTC);

void setTimeAndMode(const QString &path, qint64 seconds, mode_t mode)
{
    cv::test::setMtime(QFile::encodeName(path), seconds);
    chmod(QFile::encodeName(path).constData(), mode);
}

// A backup of two runs: INBOX.mbox was "old inbox" before the second.
struct TwoRuns {
    explicit TwoRuns(const cv::test::ScopedHome &home)
        : runs(home.file(QStringLiteral("Source")), home.file(QStringLiteral("Backup")))
    {
        cv::test::writeFile(runs.source() + QStringLiteral("/Mail/INBOX.mbox"), "old inbox");
        cv::test::writeFile(runs.source() + QStringLiteral("/Mail/Sent"), "sent");
        cv::test::writeFile(runs.source() + QStringLiteral("/abc.default/prefs.js"), "prefs");
        setTimeAndMode(runs.source() + QStringLiteral("/Mail/Sent"), 1600000000, 0640);
        symlink("INBOX.mbox", QFile::encodeName(runs.source() + QStringLiteral("/Mail/link")).constData());
        setTimeAndMode(runs.source() + QStringLiteral("/Mail"), 1500000000, 0750);
        first = runs.run(kStart);
        cv::test::writeFile(runs.source() + QStringLiteral("/Mail/INBOX.mbox"), "new inbox, damaged");
        setTimeAndMode(runs.source() + QStringLiteral("/Mail"), 1500000000, 0750);
        runs.run(kStart.addSecs(3600));
    }
    QList<Entry> treeAtFirst() const
    {
        const BackupHistory history(runs.destination());
        return history.treeAt(*history.point(first));
    }
    RealRuns runs;
    QString first;
};

} // namespace

TEST(Restore, RestoreToNeverOverwritesAndKeepsMetadata)
{
    cv::test::ScopedHome home;
    const TwoRuns backup(home);
    const QList<Entry> tree = backup.treeAtFirst();
    const QString target = home.file(QStringLiteral("Restored"));
    cv::test::writeFile(target + QStringLiteral("/INBOX.mbox"), "user's own");
    cv::test::writeFile(target + QStringLiteral("/INBOX (restored).mbox"), "user's other");

    const QList<QByteArray> selected{"Mail/INBOX.mbox", "Mail", "nothing"};
    RestoreResult first = restoreTo(tree, {"Mail/INBOX.mbox"}, target);
    RestoreResult second = restoreTo(tree, selected, target);
    RestoreResult third = restoreTo(tree, selected, target);
    // A folder's dots are part of its name: never "abc (restored).default".
    RestoreResult fourth = restoreTo(tree, {"abc.default"}, target);
    RestoreResult fifth = restoreTo(tree, {"abc.default"}, target);
    for (const RestoreResult *r : {&first, &second, &third, &fourth, &fifth})
        EXPECT_TRUE(r->ok()) << r->errors.join(u'\n').toStdString();
    EXPECT_EQ(first.restored, QStringList{target + QStringLiteral("/INBOX (restored 2).mbox")});
    EXPECT_EQ(second.restored, QStringList{target + QStringLiteral("/Mail")});
    EXPECT_EQ(third.restored, QStringList{target + QStringLiteral("/Mail (restored)")});
    EXPECT_EQ(fifth.restored, QStringList{target + QStringLiteral("/abc.default (restored)")});
    EXPECT_EQ(third.files, 3);
    EXPECT_EQ(third.bytes, 13);

    EXPECT_EQ(cv::test::readFile(target + QStringLiteral("/INBOX.mbox")), "user's own");
    EXPECT_EQ(cv::test::readFile(target + QStringLiteral("/INBOX (restored).mbox")), "user's other");
    EXPECT_EQ(cv::test::readFile(target + QStringLiteral("/INBOX (restored 2).mbox")), "old inbox");
    EXPECT_EQ(cv::test::readFile(target + QStringLiteral("/Mail (restored)/INBOX.mbox")), "old inbox");
    EXPECT_EQ(QFileInfo(target + QStringLiteral("/Mail/link")).symLinkTarget(), target + QStringLiteral("/Mail/INBOX.mbox"));
    const cv::test::TreeState restored = cv::test::snapshot(target);
    EXPECT_EQ(restored.value("Mail/Sent").mode, 0640u);
    EXPECT_EQ(restored.value("Mail/Sent").mtimeNs, 1600000000'123456789);
    EXPECT_EQ(restored.value("Mail").mode, 0750u);
    EXPECT_EQ(restored.value("Mail").mtimeNs, 1500000000'123456789);

    // Copying onto what exists fails and leaves its bytes as they were.
    EntryCopier copier({});
    EXPECT_FALSE(copier.copyEntry(QFile::encodeName(backup.runs.destination() + QStringLiteral("/Mail/Sent")),
                                  QFile::encodeName(target + QStringLiteral("/INBOX.mbox"))));
    EXPECT_FALSE(copier.error().isEmpty());
    EXPECT_EQ(cv::test::readFile(target + QStringLiteral("/INBOX.mbox")), "user's own");

    // Never into the backup, whose earlier points it would change.
    for (const QString &inside : {backup.runs.destination() + QStringLiteral("/Mail"),
                                  cv::test::inVersions(backup.runs.destination(), QStringLiteral("new"))})
        EXPECT_FALSE(restoreTargetProblem(backup.runs.destination(), inside).isEmpty()) << inside.toStdString();
    EXPECT_TRUE(restoreTargetProblem(backup.runs.destination(), target).isEmpty());
}

TEST(Restore, CancelStopsLeavesNoHalfFileAndCountsNothingUnwritten)
{
    cv::test::ScopedHome home;
    RealRuns runs(home.file(QStringLiteral("Source")), home.file(QStringLiteral("Backup")));
    cv::test::writeFile(runs.source() + QStringLiteral("/big"), QByteArray(40 * 1024 * 1024, 'm'));
    cv::test::writeFile(runs.source() + QStringLiteral("/small"), "s");
    runs.run(kStart);
    const BackupHistory history(runs.destination());
    const QList<Entry> tree = history.treeAt(history.points().constFirst());
    int calls = 0;
    const RestoreResult result = restoreTo(tree, {"big", "small"}, home.file(QStringLiteral("Out")),
                                           [&](const CopyProgress &p) {
                                               EXPECT_EQ(p.bytesTotal, 40 * 1024 * 1024 + 1);
                                               return ++calls < 2;
                                           });
    EXPECT_TRUE(result.cancelled);
    EXPECT_EQ(result.files, 0);
    EXPECT_EQ(result.bytes, 0);
    EXPECT_FALSE(QFileInfo::exists(home.file(QStringLiteral("Out/big"))));
    EXPECT_FALSE(QFileInfo::exists(home.file(QStringLiteral("Out/small"))));
}

// A point is chosen; a run then replaces the file and keeps the old one. The
// restore, started while that run holds the lock, waits for it, reads the
// point again and restores what the point shows, not the mirror's new file.
TEST(Restore, ARestoreWaitsForTheRunAndReadsThePointAgain)
{
    cv::test::ScopedHome home;
    RealRuns runs(home.file(QStringLiteral("Source")), home.file(QStringLiteral("Backup")));
    cv::test::writeFile(runs.source() + QStringLiteral("/Drafts"), "747 KB of good drafts");
    runs.run(kStart);
    const QString lockPath = home.file(QStringLiteral("engine.lock"));

    cv::platform::RunLock engine;
    ASSERT_EQ(engine.tryAcquire(lockPath), cv::platform::RunLock::Acquire::Acquired);
    cv::test::writeFile(runs.source() + QStringLiteral("/Drafts"), "damaged");
    int waits = 0;
    cv::platform::RunLock restore;
    const cv::Result<> held = holdRunLock(restore, lockPath, [&] {
        if (++waits == 2) { // the run copies and ends
            runs.run(kStart.addSecs(60));
            engine.release();
        }
        return true;
    });
    ASSERT_TRUE(held) << held.reason().toStdString();
    EXPECT_GE(waits, 2);
    const auto tree = currentTreeAt(runs.destination(), QStringLiteral("latest"), {});
    ASSERT_TRUE(tree);
    EXPECT_EQ(cv::test::readBytes(BackupHistory::subtree(*tree, "Drafts").value(0).diskPath), "damaged");
    const BackupHistory history(runs.destination());
    const auto before = currentTreeAt(runs.destination(), history.points().value(1).id, {});
    ASSERT_TRUE(before);
    const RestoreResult result = restoreTo(*before, {"Drafts"}, home.file(QStringLiteral("Out")));
    EXPECT_EQ(result.files, 1);
    EXPECT_EQ(cv::test::readFile(home.file(QStringLiteral("Out/Drafts"))), "747 KB of good drafts");
    EXPECT_FALSE(currentTreeAt(runs.destination(), QStringLiteral("2020-01-01-000000"), {}));
}

// A stand-in client that takes its time to quit holds its mailbox; the
// restore asks it through our osascript, waits, moves the current data aside
// and only then copies the earlier state in.
TEST(Restore, OriginalPlaceQuitsTheClientFirstAndKeepsTheCurrentDataBeside)
{
    cv::test::ScopedHome home;
    const QString name = QStringLiteral("CvHistoryClient%1").arg(getpid());
    const QString program = home.file(QStringLiteral("bin/") + name);
    QDir().mkpath(home.file(QStringLiteral("bin")));
    ASSERT_TRUE(QFile::copy(QStringLiteral(CV_STANDIN_APP), program));
    QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString exitLog = home.file(QStringLiteral("exit.log"));
    QProcess client;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("CV_STANDIN_QUIT_DELAY_MS"), QStringLiteral("400"));
    env.insert(QStringLiteral("CV_STANDIN_EXIT_LOG"), exitLog);
    client.setProcessEnvironment(env);
    client.start(program, {});
    ASSERT_TRUE(client.waitForStarted());
    QThread::msleep(100);

    RealRuns runs(home.file(QStringLiteral("Source")), home.file(QStringLiteral("Backup")));
    cv::test::writeFile(runs.source() + QStringLiteral("/Profile/INBOX"), "good");
    cv::test::writeFile(runs.source() + QStringLiteral("/prefs.js"), "prefs");
    const QString good = runs.run(kStart);
    cv::test::writeFile(runs.source() + QStringLiteral("/Profile/INBOX"), ""); // the damaged copy of the last run
    runs.run(kStart.addSecs(60));
    ClientPlace place;
    place.applicationName = name;
    place.dataFolder = home.file(QStringLiteral("Data"));
    cv::test::writeFile(place.dataFolder + QStringLiteral("/Profile/INBOX"), "");
    cv::test::writeFile(place.dataFolder + QStringLiteral("/Profile/Newer"), "since then");

    OsascriptQuitter quitter(QStringLiteral(CV_COMPAT_BIN_DIR "/osascript"), std::chrono::seconds(20));
    const QDateTime now(QDate(2026, 12, 7), QTime(21, 30, 5));
    const BackupHistory history(runs.destination());
    const QList<Entry> tree = history.treeAt(*history.point(good));
    const RestoreResult result = restoreToOriginalPlace(tree, {"Profile"}, place, quitter, now);
    ASSERT_TRUE(result.ok()) << result.failure.toStdString() << result.errors.join(u'\n').toStdString();

    const QString aside = place.dataFolder + QStringLiteral("/Profile.before-restore-20261207-213005");
    EXPECT_EQ(result.setAside, QStringList{aside});
    EXPECT_EQ(cv::test::readFile(place.dataFolder + QStringLiteral("/Profile/INBOX")), "good");
    EXPECT_FALSE(QFileInfo::exists(place.dataFolder + QStringLiteral("/Profile/Newer")));
    EXPECT_EQ(cv::test::readFile(aside + QStringLiteral("/Newer")), "since then");
    EXPECT_TRUE(QFileInfo::exists(aside + QStringLiteral("/INBOX")));

    EXPECT_EQ(QDir(place.dataFolder).entryList(QDir::Hidden | QDir::AllEntries | QDir::NoDotAndDotDot).size(), 2)
        << "no hidden copy left behind";
    // The client had ended before its data was moved.
    ASSERT_TRUE(client.waitForFinished(5000));
    const QList<QByteArray> exit = cv::test::readFile(exitLog).trimmed().split(' ');
    ASSERT_EQ(exit.size(), 2);
    struct stat st {};
    lstat(QFile::encodeName(aside).constData(), &st);
    // File times come from the kernel's coarse clock, up to one tick (10 ms
    // at the slowest) behind the fine clock the client's exit was read from.
    constexpr qint64 kTick = 10'000'000;
    EXPECT_LE(exit[1].toLongLong(), qint64(st.st_ctim.tv_sec) * 1000000000LL + st.st_ctim.tv_nsec + kTick);

    // Restoring again the same second keeps both earlier sets.
    ASSERT_TRUE(restoreToOriginalPlace(tree, {"Profile"}, place, quitter, now).ok());
    EXPECT_TRUE(QFileInfo::exists(aside + QStringLiteral("-2/INBOX")));
    EXPECT_TRUE(QFileInfo::exists(aside + QStringLiteral("/Newer")));
}

// On a full disk and on Cancel the client's data stays as it was: the copy
// goes to a hidden sibling that is removed, and nothing is moved aside.
TEST(Restore, OriginalPlaceOnAFullDiskOrCancelLeavesTheClientsDataAsItWas)
{
    cv::test::ScopedHome home;
    RealRuns runs(home.file(QStringLiteral("Source")), home.file(QStringLiteral("Backup")));
    cv::test::writeFile(runs.source() + QStringLiteral("/Profile/INBOX"), QByteArray(3 << 20, 'g'));
    cv::test::writeFile(runs.source() + QStringLiteral("/Profile/Sent"), "sent");
    runs.run(kStart);
    const BackupHistory history(runs.destination());
    const QList<Entry> tree = history.treeAt(history.points().constFirst());
    ClientPlace place;
    place.applicationName = QStringLiteral("NoSuchClient%1").arg(getpid());
    place.dataFolder = home.file(QStringLiteral("Data"));
    const cv::test::SmallDisk small(place.dataFolder, "2m");
    cv::test::writeFile(place.dataFolder + QStringLiteral("/Profile/INBOX"), "current");
    const QStringList before = cv::test::treeListing(place.dataFolder);

    struct NoClient : ClientQuitter {
        cv::Result<> quitAndWait(const QString &) override { return {}; }
    } quitter;
    const QDateTime now(QDate(2026, 12, 8), QTime(10, 0));
    if (small.mounted) {
        const RestoreResult full = restoreToOriginalPlace(tree, {"Profile"}, place, quitter, now);
        EXPECT_FALSE(full.failure.isEmpty());
        EXPECT_EQ(full.files, 0);
        EXPECT_EQ(cv::test::treeListing(place.dataFolder), before);
    } else {
        std::cerr << "tmpfs could not be mounted (not root?): the full-disk case did not run\n";
    }
    place.dataFolder = home.file(QStringLiteral("Data2"));
    cv::test::writeFile(place.dataFolder + QStringLiteral("/Profile/INBOX"), "current");
    const QStringList current = cv::test::treeListing(place.dataFolder);
    int calls = 0;
    const RestoreResult cancelled =
        restoreToOriginalPlace(tree, {"Profile"}, place, quitter, now, [&](const CopyProgress &) { return ++calls < 2; });
    EXPECT_TRUE(cancelled.cancelled);
    EXPECT_EQ(cancelled.bytes, 0);
    EXPECT_TRUE(cancelled.setAside.isEmpty());
    EXPECT_EQ(cv::test::treeListing(place.dataFolder), current);
}

// A selected entry the point no longer holds fails the restore: nothing is
// reported as restored and the client's data stays as it was.
TEST(Restore, OriginalPlaceFailsWhenASelectedEntryIsGone)
{
    cv::test::ScopedHome home;
    RealRuns runs(home.file(QStringLiteral("Source")), home.file(QStringLiteral("Backup")));
    cv::test::writeFile(runs.source() + QStringLiteral("/Profile/INBOX"), "good");
    runs.run(kStart);
    const BackupHistory history(runs.destination());
    const QList<Entry> tree = history.treeAt(history.points().constFirst());
    struct NoClient : ClientQuitter {
        cv::Result<> quitAndWait(const QString &) override { return {}; }
    } quitter;
    ClientPlace place;
    place.dataFolder = home.file(QStringLiteral("Data"));
    cv::test::writeFile(place.dataFolder + QStringLiteral("/Profile/INBOX"), "current");
    const QStringList before = cv::test::treeListing(place.dataFolder);
    const QDateTime now(QDate(2026, 12, 8), QTime(10, 0));

    const RestoreResult gone = restoreToOriginalPlace(tree, {"Profile", "Trash"}, place, quitter, now);
    EXPECT_FALSE(gone.ok());
    EXPECT_TRUE(gone.failure.contains(QLatin1String("Trash"))) << gone.failure.toStdString();
    EXPECT_TRUE(gone.restored.isEmpty());
    EXPECT_EQ(cv::test::treeListing(place.dataFolder), before);
}

// The original place of Thunderbird's data is the folder the backup copied:
// a stale profile folder first in the order is not it.
TEST(Restore, OriginalPlaceIsTheThunderbirdFolderTheBackupCopied)
{
    QTemporaryDir home;
    const QString stale = home.path() + QStringLiteral("/.thunderbird");
    const QString inUse = home.path() + QStringLiteral("/.var/app/org.mozilla.Thunderbird/.thunderbird");
    for (const QString &folder : {stale, inUse})
        ASSERT_TRUE(QDir().mkpath(folder + QStringLiteral("/abc.default")));
    for (const QString &path : {stale, stale + QStringLiteral("/abc.default")})
        setTimeAndMode(path, 1500000000, 0700);
    EXPECT_EQ(ClientPlace::forClient(QStringLiteral("Thunderbird"), home.path())->dataFolder, inUse);
}

// The saved configuration names the backup and its client; a missing or
// mistyped value falls back to the window's folder and no place.
TEST(Restore, SourceReadsTheSavedConfigurationAndFallsBack)
{
    cv::test::ScopedHome home;
    const QString fallback = home.file(QStringLiteral("Typed"));
    const struct {
        std::optional<QVariantMap> configuration;
        QString destination;
        QString application; // empty: no place
    } cases[] = {
        {std::nullopt, fallback, {}},
        {QVariantMap{{QStringLiteral("Destination"), QStringLiteral("/b")}, {QStringLiteral("Client"), QStringLiteral("Thunderbird")}},
         QStringLiteral("/b"), QStringLiteral("Thunderbird")},
        {QVariantMap{{QStringLiteral("Destination"), 7}, {QStringLiteral("Client"), QStringLiteral("Nobody")}}, fallback, {}},
        {QVariantMap{{QStringLiteral("Destination"), QString()}, {QStringLiteral("Client"), 1}}, fallback, {}},
    };
    for (const auto &c : cases) {
        const RestoreSource source = restoreSourceFor(c.configuration, fallback);
        EXPECT_EQ(source.destination, c.destination);
        EXPECT_EQ(source.place ? source.place->applicationName : QString(), c.application);
        EXPECT_FALSE(source.lastBackup.isValid()) << "no backup has run in this home";
    }
}
