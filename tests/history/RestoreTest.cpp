// Getting entries back: never over anything, with their metadata, and into
// the client's own place only after the client has quit.
#include "HistoryTestSupport.h"
#include "Restore.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QThread>

#include <fcntl.h>
#include <sys/stat.h>

using namespace cv::history;
using cv::test::BackupOnDisk;

namespace {

const QString kRun = QStringLiteral("2026-11-02-090000");

struct Stat {
    mode_t mode;
    qint64 mtime;
};
Stat statOf(const QString &path)
{
    struct stat st {};
    lstat(QFile::encodeName(path).constData(), &st);
    return {st.st_mode & 07777, qint64(st.st_mtim.tv_sec)};
}

void setTimeAndMode(const QString &path, qint64 seconds, mode_t mode)
{
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW);
    chmod(QFile::encodeName(path).constData(), mode);
}

} // namespace

TEST(Restore, RestoreToNeverOverwritesAndKeepsMetadata)
{
    cv::test::ScopedHome home;
    BackupOnDisk disk(home.file(QStringLiteral("Backup")));
    disk.put(QStringLiteral("Mail/INBOX.mbox"), "old inbox");
    disk.put(QStringLiteral("Mail/Sent"), "sent");
    setTimeAndMode(disk.mirror(QStringLiteral("Mail/Sent")), 1600000000, 0640);
    symlink("INBOX.mbox", QFile::encodeName(disk.mirror(QStringLiteral("Mail/link"))).constData());
    disk.replace(kRun, QStringLiteral("Mail/INBOX.mbox"), "new inbox");
    // A run gives the folders it keeps entries in the mirror folder's metadata.
    for (const QString &folder : {disk.mirror(QStringLiteral("Mail")), disk.run(kRun) + QStringLiteral("/Mail")})
        setTimeAndMode(folder, 1500000000, 0750);

    const QList<Entry> tree = BackupHistory(disk.mirror({})).treeAt(kRun);
    const QString target = home.file(QStringLiteral("Restored"));
    cv::test::writeFile(target + QStringLiteral("/INBOX.mbox"), "user's own");
    cv::test::writeFile(target + QStringLiteral("/INBOX (restored).mbox"), "user's other");

    const QStringList selected{QStringLiteral("Mail/INBOX.mbox"), QStringLiteral("Mail"), QStringLiteral("nothing")};
    RestoreResult first = restoreTo(tree, {QStringLiteral("Mail/INBOX.mbox")}, target);
    RestoreResult second = restoreTo(tree, selected, target);
    RestoreResult third = restoreTo(tree, selected, target);
    for (const RestoreResult *r : {&first, &second, &third})
        EXPECT_TRUE(r->ok()) << r->errors.join(u'\n').toStdString();
    EXPECT_EQ(first.restored, QStringList{target + QStringLiteral("/INBOX (restored 2).mbox")});
    EXPECT_EQ(second.restored, QStringList{target + QStringLiteral("/Mail")});
    EXPECT_EQ(third.restored, QStringList{target + QStringLiteral("/Mail (restored)")});
    EXPECT_EQ(third.files, 3);
    EXPECT_EQ(third.bytes, 13);

    EXPECT_EQ(cv::test::readFile(target + QStringLiteral("/INBOX.mbox")), "user's own");
    EXPECT_EQ(cv::test::readFile(target + QStringLiteral("/INBOX (restored).mbox")), "user's other");
    EXPECT_EQ(cv::test::readFile(target + QStringLiteral("/INBOX (restored 2).mbox")), "old inbox");
    EXPECT_EQ(cv::test::readFile(target + QStringLiteral("/Mail (restored)/INBOX.mbox")), "old inbox");
    EXPECT_EQ(QFileInfo(target + QStringLiteral("/Mail/link")).symLinkTarget(), target + QStringLiteral("/Mail/INBOX.mbox"));
    const Stat sent = statOf(target + QStringLiteral("/Mail/Sent"));
    EXPECT_EQ(sent.mode, 0640u);
    EXPECT_EQ(sent.mtime, 1600000000);
    const Stat folder = statOf(target + QStringLiteral("/Mail"));
    EXPECT_EQ(folder.mode, 0750u);
    EXPECT_EQ(folder.mtime, 1500000000);
}

TEST(Restore, CancelStopsAndLeavesNoHalfFile)
{
    cv::test::ScopedHome home;
    BackupOnDisk disk(home.file(QStringLiteral("Backup")));
    disk.put(QStringLiteral("big"), QByteArray(40 * 1024 * 1024, 'm'));
    disk.put(QStringLiteral("small"), "s");
    const QList<Entry> tree = BackupHistory(disk.mirror({})).treeAt({});
    int calls = 0;
    const RestoreResult result = restoreTo(tree, {QStringLiteral("big"), QStringLiteral("small")},
                                           home.file(QStringLiteral("Out")), [&](const CopyProgress &p) {
                                               EXPECT_EQ(p.bytesTotal, 40 * 1024 * 1024 + 1);
                                               return ++calls < 2;
                                           });
    EXPECT_TRUE(result.cancelled);
    EXPECT_FALSE(QFileInfo::exists(home.file(QStringLiteral("Out/big"))));
    EXPECT_FALSE(QFileInfo::exists(home.file(QStringLiteral("Out/small"))));
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

    BackupOnDisk disk(home.file(QStringLiteral("Backup")));
    disk.put(QStringLiteral("Profile/INBOX"), "good");
    disk.put(QStringLiteral("prefs.js"), "prefs");
    disk.replace(kRun, QStringLiteral("Profile/INBOX"), ""); // the damaged copy of the last run
    ClientPlace place;
    place.applicationName = name;
    place.dataFolder = home.file(QStringLiteral("Data"));
    cv::test::writeFile(place.dataFolder + QStringLiteral("/Profile/INBOX"), "");
    cv::test::writeFile(place.dataFolder + QStringLiteral("/Profile/Newer"), "since then");

    OsascriptQuitter quitter(QStringLiteral(CV_COMPAT_BIN_DIR "/osascript"), std::chrono::seconds(20));
    const QDateTime now(QDate(2026, 12, 7), QTime(21, 30, 5));
    const QList<Entry> tree = BackupHistory(disk.mirror({})).treeAt(kRun);
    const RestoreResult result = restoreToOriginalPlace(tree, {QStringLiteral("Profile")}, place, quitter, now);
    ASSERT_TRUE(result.ok()) << result.failure.toStdString() << result.errors.join(u'\n').toStdString();

    const QString aside = place.dataFolder + QStringLiteral("/Profile.before-restore-20261207-213005");
    EXPECT_EQ(result.setAside, QStringList{aside});
    EXPECT_EQ(cv::test::readFile(place.dataFolder + QStringLiteral("/Profile/INBOX")), "good");
    EXPECT_FALSE(QFileInfo::exists(place.dataFolder + QStringLiteral("/Profile/Newer")));
    EXPECT_EQ(cv::test::readFile(aside + QStringLiteral("/Newer")), "since then");
    EXPECT_TRUE(QFileInfo::exists(aside + QStringLiteral("/INBOX")));

    // The client had ended before its data was moved.
    ASSERT_TRUE(client.waitForFinished(5000));
    const QList<QByteArray> exit = cv::test::readFile(exitLog).trimmed().split(' ');
    ASSERT_EQ(exit.size(), 2);
    struct stat st {};
    lstat(QFile::encodeName(aside).constData(), &st);
    EXPECT_LE(exit[1].toLongLong(), qint64(st.st_ctim.tv_sec) * 1000000000LL + st.st_ctim.tv_nsec);

    // Restoring again the same second keeps both earlier sets.
    ASSERT_TRUE(restoreToOriginalPlace(tree, {QStringLiteral("Profile")}, place, quitter, now).ok());
    EXPECT_TRUE(QFileInfo::exists(aside + QStringLiteral("-2/INBOX")));
    EXPECT_TRUE(QFileInfo::exists(aside + QStringLiteral("/Newer")));
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
