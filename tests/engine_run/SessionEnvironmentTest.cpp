#include "Home.h"
#include "RunLock.h"
#include "SessionEnvironment.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

using namespace cv::platform;

namespace {

// Clears the session variables for one test and puts them back afterwards.
class CleanSession
{
public:
    CleanSession()
    {
        for (const QString &n : sessionVariableNames()) {
            const QByteArray name = n.toLatin1();
            m_saved.emplace_back(name, qgetenv(name.constData()));
            qunsetenv(name.constData());
        }
    }
    ~CleanSession()
    {
        for (const auto &[name, value] : m_saved)
            value.isEmpty() ? qunsetenv(name.constData()) : qputenv(name.constData(), value);
    }

private:
    std::vector<std::pair<QByteArray, QByteArray>> m_saved;
};

} // namespace

TEST(SessionEnvironment, RecordedPrivatelyAndFillingOnlyWhatIsMissingFromOurOwnPrivateFile)
{
    cv::test::ScopedHome home;
    CleanSession clean;
    const QString file = home.file(QStringLiteral("session.env"));
    qputenv("DISPLAY", ":7");
    qputenv("XAUTHORITY", "/home/u/.Xauthority");
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/run/user/1000/bus");
    // Private from its first byte, whatever the process's file-creation mask;
    // a link put where the file goes is replaced, not written through.
    const QString target = home.file(QStringLiteral("target"));
    ASSERT_TRUE(cv::test::writeFile(target, "untouched"));
    ASSERT_TRUE(QFile::link(target, file));
    const mode_t previous = ::umask(0);
    const bool recorded = recordSessionEnvironment(file);
    ::umask(previous);
    ASSERT_TRUE(recorded);
    struct stat st {};
    ASSERT_EQ(::lstat(QFile::encodeName(file).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(cv::test::readFile(target), QByteArray("untouched"));
    EXPECT_EQ(QDir(home.path()).entryList(QDir::Files | QDir::Hidden),
              (QStringList{QStringLiteral("session.env"), QStringLiteral("target")}));

    // An engine that has a display takes nothing.
    EXPECT_TRUE(loadSessionEnvironment(file).isEmpty());

    qunsetenv("DISPLAY");
    qunsetenv("XAUTHORITY");
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/mine");
    const QStringList set = loadSessionEnvironment(file);
    EXPECT_EQ(set, (QStringList{QStringLiteral("DISPLAY"), QStringLiteral("XAUTHORITY")}));
    EXPECT_EQ(qgetenv("DISPLAY"), QByteArray(":7"));
    EXPECT_EQ(qgetenv("DBUS_SESSION_BUS_ADDRESS"), QByteArray("unix:path=/mine")); // never overridden

    // Others could write it: ignored. Unknown names are never set.
    qunsetenv("DISPLAY");
    ASSERT_TRUE(cv::test::writeFile(file, "DISPLAY=:9\nLD_PRELOAD=/tmp/evil.so\n"));
    QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner | QFile::WriteOther);
    EXPECT_TRUE(loadSessionEnvironment(file).isEmpty());
    QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner);
    EXPECT_EQ(loadSessionEnvironment(file), QStringList{QStringLiteral("DISPLAY")});
    EXPECT_TRUE(qgetenv("LD_PRELOAD").isEmpty());
}

TEST(SessionEnvironment, LinksAndFilesInFoldersOthersCanWriteAreNotLoaded)
{
    cv::test::ScopedHome home;
    CleanSession clean;
    const QString folder = home.file(QStringLiteral("support"));
    const QString file = folder + QStringLiteral("/session.env");
    const QString elsewhere = home.file(QStringLiteral("planted.env"));
    ASSERT_TRUE(cv::test::writeFile(elsewhere, "DISPLAY=:66\n"));
    QFile::setPermissions(elsewhere, QFile::ReadOwner | QFile::WriteOwner);
    ASSERT_TRUE(QDir().mkpath(folder));
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    // The file swapped for a link to one that passes every other check.
    ASSERT_TRUE(QFile::link(elsewhere, file));
    EXPECT_TRUE(loadSessionEnvironment(file).isEmpty());
    EXPECT_TRUE(qgetenv("DISPLAY").isEmpty());
    ASSERT_TRUE(QFile::remove(file));

    // A private file, but in a folder the group may write to: someone else
    // could have put it there.
    qputenv("DISPLAY", ":5");
    ASSERT_TRUE(recordSessionEnvironment(file));
    qunsetenv("DISPLAY");
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::WriteGroup
                                      | QFile::ExeGroup);
    EXPECT_TRUE(loadSessionEnvironment(file).isEmpty());
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    EXPECT_EQ(loadSessionEnvironment(file), QStringList{QStringLiteral("DISPLAY")});
    EXPECT_EQ(qgetenv("DISPLAY"), QByteArray(":5"));

    // A pipe in its place is neither waited on nor read; an oversized file
    // is refused.
    qunsetenv("DISPLAY");
    ASSERT_TRUE(QFile::remove(file));
    ASSERT_EQ(::mkfifo(QFile::encodeName(file).constData(), 0600), 0);
    EXPECT_TRUE(loadSessionEnvironment(file).isEmpty());
    ASSERT_TRUE(QFile::remove(file));
    ASSERT_TRUE(cv::test::writeFile(file, "DISPLAY=:5\n" + QByteArray(64 * 1024, '#')));
    QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner);
    EXPECT_TRUE(loadSessionEnvironment(file).isEmpty());
}

TEST(RunLock, HeldUntilReleasedOrTheHolderDies)
{
    using Acquire = RunLock::Acquire;
    cv::test::ScopedHome home;
    const QString path = home.file(QStringLiteral("Library/lock"));
    RunLock first;
    ASSERT_EQ(first.tryAcquire(path), Acquire::Acquired);
    // flock is per open file: a second open in this process is refused too.
    RunLock second;
    EXPECT_EQ(second.tryAcquire(path), Acquire::Busy);
    first.release();
    EXPECT_EQ(second.tryAcquire(path), Acquire::Acquired);
    second.release();

    // A child takes the lock and dies without releasing it.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        RunLock held;
        const char ok = held.tryAcquire(path) == Acquire::Acquired ? 'y' : 'n';
        (void)::write(ready[1], &ok, 1);
        ::pause();
        ::_exit(0);
    }
    char got = 0;
    ASSERT_EQ(::read(ready[0], &got, 1), 1);
    EXPECT_EQ(got, 'y');
    RunLock third;
    EXPECT_EQ(third.tryAcquire(path), Acquire::Busy);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(third.tryAcquire(path), Acquire::Acquired);
}
