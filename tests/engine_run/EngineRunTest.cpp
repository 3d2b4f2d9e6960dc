#include "EngineRunSupport.h"
#include "Home.h"
#include "Names.h"
#include "PropertyList.h"
#include "RunLock.h"
#include "TestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>
#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>

using namespace cv::test;
using cv::test::readFile;
using cv::test::writeFile;

namespace {

class EngineRun : public ::testing::Test
{
protected:
    cv::test::ScopedHome home;

    QProcessEnvironment env() const { return cv::test::engineEnvironment(QStringLiteral("offscreen")); }

    // The recording stand-in copy command first on PATH.
    QProcessEnvironment standinEnv() const
    {
        QProcessEnvironment e = cv::test::engineEnvironment(QStringLiteral("offscreen"), QStringLiteral(CV_ENGINE_RUN_STANDINS));
        e.insert(QStringLiteral("CV_DITTO_RECORD"), recordPath());
        return e;
    }

    QString recordPath() const { return home.file(QStringLiteral("ditto-calls")); }
    QString destination() const { return home.file(QStringLiteral("Backups/Mail Copy (daily)")); }
    QString source() const { return home.file(QStringLiteral("Library/Thunderbird")); }

    void setConfigured(const QString &sentence) const { ASSERT_TRUE(cv::test::writeEngineSettings(sentence)); }

    void configureThunderbird(bool createDestination = true) const
    {
        ASSERT_TRUE(cv::test::writeEngineSettings(
            QStringLiteral("Corvantis is currently configured to backup Thunderbird on Run Now only."),
            {{QStringLiteral("Client"), QStringLiteral("Thunderbird")}, {QStringLiteral("Destination"), destination()}}));
        if (createDestination)
            QDir().mkpath(destination());
    }

    void makeSampleMail() const
    {
        ASSERT_TRUE(writeFile(source() + QStringLiteral("/Profiles/abc.default/Mail/Inbox"), "From a@b\nSubject: hi\n\nbody\n"));
        ASSERT_TRUE(writeFile(source() + QStringLiteral("/Profiles/abc.default/prefs.js"), "user_pref(\"x\", 1);\n"));
        ASSERT_TRUE(writeFile(source() + QStringLiteral("/profiles.ini"), "[Profile0]\nPath=Profiles/abc.default\n"));
    }

    cv::test::RunResult runEngine(const QProcessEnvironment &e) const
    {
        return cv::test::runProgram(kEngine, {}, e, 120000);
    }

    QByteArray log() const { return readFile(cv::logFilePath()); }

    // The log's messages, with each line's time stamp and process prefix
    // and the line feed the log adds removed: what the script printed.
    QString loggedOutput() const
    {
        static const QRegularExpression prefix(
            QStringLiteral(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} CVEngine\[\d+:\d+\] )"),
            QRegularExpression::MultilineOption);
        QStringList messages = QString::fromUtf8(log()).split(prefix);
        messages.removeFirst(); // whatever came before the first line of ours
        for (QString &message : messages)
            if (message.endsWith(QLatin1Char('\n')))
                message.chop(1);
        return messages.join(QString());
    }
};

} // namespace

// Without its destination the run ends in errors, cleaned up and announced.
// With it the mail is copied, marked, logged and announced, even by an engine
// started without a session (as cron starts it), through the recorded bus.
TEST_F(EngineRun, ConfiguredThunderbirdIsCopiedMarkedLoggedAndAnnounced)
{
    if (!haveBus())
        GTEST_SKIP() << "needs the private session bus";
    makeSampleMail();
    configureThunderbird(false);
    {
        Observer observer(60000);
        ASSERT_TRUE(observer.ready());
        EXPECT_EQ(runEngine(env()).exitCode, 1);
        EXPECT_TRUE(observer.received());
    }
    EXPECT_TRUE(loggedOutput().contains(QStringLiteral(": Backup failed. Destination not available.")));
    EXPECT_FALSE(QFileInfo::exists(cv::scriptFilePath()));
    EXPECT_FALSE(QFileInfo::exists(destination()));
    EXPECT_FALSE(QFileInfo::exists(cv::markerFilePath()));

    QDir().mkpath(destination());
    QFile::remove(cv::logFilePath());
    QProcessEnvironment e = env();
    const QString bus = e.value(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    e.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    e.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    ASSERT_TRUE(writeFile(cv::sessionFilePath(), "DBUS_SESSION_BUS_ADDRESS=" + bus.toUtf8() + "\n"));
    QFile::setPermissions(cv::sessionFilePath(), QFile::ReadOwner | QFile::WriteOwner);
    Observer observer(60000);
    ASSERT_TRUE(observer.ready());
    const auto r = runEngine(e);
    EXPECT_FALSE(r.crashed);
    EXPECT_EQ(r.exitCode, 0) << log().constData();
    EXPECT_EQ(cv::test::mirrorListing(destination()), cv::test::treeListing(source()));
    EXPECT_FALSE(cv::test::treeListing(source()).isEmpty());
    EXPECT_TRUE(QFileInfo::exists(cv::markerFilePath()));
    EXPECT_FALSE(QFileInfo::exists(cv::scriptFilePath()));
    EXPECT_TRUE(observer.received());
    const QRegularExpression expected(QStringLiteral(
        "^Results of the Corvantis:\nChecking for destination...\nQuiting email application...\n"
        "Backing up Mail files\n[^\n]+: Backup completed successfully.\n$"));
    const QString output = loggedOutput();
    EXPECT_TRUE(expected.match(output).hasMatch()) << output.toStdString();
}

// Every way an engine ends before its script runs says why in the log and
// announces the end, so a configurator waiting on its Run Now hears of it.
// Nothing waits: a FIFO at a settings path or the lock's is refused at once.
// A configuration file that is missing or unusable copies nothing.
TEST_F(EngineRun, EveryEarlyEndIsLoggedAndAnnounced)
{
    if (!haveBus())
        GTEST_SKIP() << "needs the private session bus";
    makeSampleMail();
    const auto fifoAt = [](const QString &path) {
        QFile::remove(path);
        return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
    };
    const QString configured = QStringLiteral("Corvantis is currently configured to backup Thunderbird on Run Now only.");
    struct Case {
        const char *name;
        std::function<bool()> prepare;
        int exitCode;
        QString logged;
    };
    cv::platform::RunLock held;
    const Case cases[] = {
        {"no settings file", [] { return QFile::remove(cv::defaultsFilePath()) || !QFileInfo::exists(cv::defaultsFilePath()); }, 0, QStringLiteral("does not exist")},
        {"default sentence", [] { return cv::test::writeEngineSettings(QString::fromUtf8(cv::names::kNotConfiguredDefault)); },
         0, QStringLiteral("not configured")},
        {"removed schedule", [] { return cv::test::writeEngineSettings(QString::fromUtf8(cv::names::kNotConfigured)); }, 0,
         QStringLiteral("not configured")},
        {"FIFO as the settings", [&] { return fifoAt(cv::defaultsFilePath()); }, 0,
         QStringLiteral("is not a regular file")},
        {"FIFO as Config.plist", [&] { return cv::test::writeEngineSettings(configured) && fifoAt(cv::configFilePath()); },
         1, QStringLiteral("Config.plist\" is not a regular file")},
        {"lock held", [&] {
             configureThunderbird();
             return held.tryAcquire(cv::runLockPath()) == cv::platform::RunLock::Acquire::Acquired;
         }, 0, QStringLiteral("Another backup is already running; this run was skipped.")},
        {"lock file unusable", [&] {
             held.release();
             return QFile::remove(cv::runLockPath()) && QDir().mkpath(cv::runLockPath());
         }, 1, QStringLiteral("No backup made: the lock file")},
        {"no Config.plist", [&] { QDir(cv::runLockPath()).removeRecursively(); return QFile::remove(cv::configFilePath()); },
         1, QStringLiteral("No backup made: the configuration file")},
        {"Config.plist names no client", [&] {
             return writeFile(cv::configFilePath(), cv::platform::serializeXml(QVariantMap{{QStringLiteral("Destination"), destination()}}));
         }, 1, QStringLiteral("No backup made: the configuration names no email client.")},
        {"Config.plist not a property list", [&] { return writeFile(cv::configFilePath(), "Destination=/tmp\nClient=Thunderbird\n"); },
         1, QStringLiteral("No backup made: the configuration file")},
    };
    for (const Case &c : cases) {
        QFile::remove(cv::logFilePath());
        ASSERT_TRUE(c.prepare()) << c.name;
        Observer observer(20000);
        ASSERT_TRUE(observer.ready());
        QElapsedTimer timer;
        timer.start();
        const auto r = cv::test::runProgram(kEngine, {}, standinEnv(), 20000);
        EXPECT_FALSE(r.timedOut) << c.name;
        EXPECT_LT(timer.elapsed(), 10000) << c.name;
        EXPECT_EQ(r.exitCode, c.exitCode) << c.name << ": " << log().constData();
        EXPECT_TRUE(observer.received()) << c.name;
        EXPECT_TRUE(loggedOutput().contains(c.logged)) << c.name << ": " << log().constData();
        if (c.exitCode != 0) {
            EXPECT_FALSE(log().contains("Another backup")) << c.name;
        }
        EXPECT_FALSE(QFileInfo::exists(cv::scriptFilePath())) << c.name;
        EXPECT_FALSE(QFileInfo::exists(recordPath())) << c.name;
        EXPECT_FALSE(QFileInfo::exists(cv::markerFilePath())) << c.name;
    }
}

// A stale profile folder of an older install is not what gets backed up:
// the one written most recently is, though it comes later in the order.
TEST_F(EngineRun, TheThunderbirdProfileInUseIsBackedUp)
{
    configureThunderbird();
    const QString stale = home.file(QStringLiteral(".thunderbird"));
    const QString inUse = home.file(QStringLiteral(".var/app/org.mozilla.Thunderbird/.thunderbird"));
    ASSERT_TRUE(writeFile(stale + QStringLiteral("/old.default/prefs.js"), "old"));
    ASSERT_TRUE(writeFile(inUse + QStringLiteral("/new.default/prefs.js"), "new"));
    const auto age = [](const QString &path, time_t seconds) {
        const timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) - seconds, 0}};
        return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
    };
    for (const QString &path : {stale + QStringLiteral("/old.default/prefs.js"), stale + QStringLiteral("/old.default"), stale})
        ASSERT_TRUE(age(path, 400 * 24 * 3600));

    const auto r = runEngine(standinEnv());
    EXPECT_EQ(r.exitCode, 0) << log().constData();
    EXPECT_EQ(readFile(recordPath()), ("-rsrc|" + inUse + "|" + destination() + "|\n").toUtf8());
    const QString logged = loggedOutput();
    EXPECT_TRUE(logged.contains(QStringLiteral("backing up \"%1\"").arg(inUse))) << logged.toStdString();
    EXPECT_TRUE(logged.contains(QStringLiteral("skipped \"%1\"").arg(stale))) << logged.toStdString();
}

// A mail file named like the success line, which the copy could not read:
// its name in the copy's complaint does not make the run a success.
TEST_F(EngineRun, AFileNamedLikeTheSuccessLineDoesNotMakeAFailedRunSucceed)
{
    makeSampleMail();
    configureThunderbird();
    QProcessEnvironment e = standinEnv();
    e.insert(QStringLiteral("CV_DITTO_SAY"),
             source() + QStringLiteral("/Profiles/abc.default/Mail/Backup completed successfully: Permission denied"));
    e.insert(QStringLiteral("CV_DITTO_FAIL"), QStringLiteral("1"));
    EXPECT_EQ(runEngine(e).exitCode, 1) << log().constData();
    EXPECT_TRUE(loggedOutput().contains(QStringLiteral(": Backup failed. Please see above error messages.")));
    EXPECT_FALSE(QFileInfo::exists(cv::markerFilePath()));
}

// Any status text but the two of an unconfigured engine runs the backup; what
// the copy says reaches the log verbatim. A second engine meanwhile starts no
// backup of its own, and the lock goes with its holder.
TEST_F(EngineRun, AnyOtherStatusTextRunsTheBackupAndASecondEngineMeanwhileDoesNot)
{
    makeSampleMail();
    configureThunderbird();
    setConfigured(QStringLiteral("x"));
    QProcessEnvironment e = standinEnv();
    e.insert(QStringLiteral("CV_DITTO_SLEEP"), QStringLiteral("3"));
    const QString said = QStringLiteral("copied 100% of %@ %s %n %d\\n files");
    e.insert(QStringLiteral("CV_DITTO_SAY"), said);
    QProcess first;
    first.setProcessEnvironment(e);
    first.start(kEngine, {});
    ASSERT_TRUE(first.waitForStarted());
    // Wait until the first run is copying.
    QElapsedTimer timer;
    timer.start();
    while (!QFileInfo::exists(recordPath()) && timer.elapsed() < 30000)
        QThread::msleep(20);
    ASSERT_TRUE(QFileInfo::exists(recordPath()));

    const auto second = runEngine(e);
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_TRUE(log().contains("Another backup is already running"));
    ASSERT_TRUE(first.waitForFinished(60000));
    EXPECT_EQ(first.exitCode(), 0) << log().constData();
    EXPECT_EQ(readFile(recordPath()), ("-rsrc|" + source() + "|" + destination() + "|\n").toUtf8());
    EXPECT_TRUE(loggedOutput().contains(said + QLatin1Char('\n'))) << loggedOutput().toStdString();

    // The lock goes with its run, though something the script started
    // outside its group lives on: a later run goes ahead.
    QProcessEnvironment leaving = standinEnv();
    leaving.insert(QStringLiteral("CV_DITTO_LEAVE_BEHIND"), QStringLiteral("30"));
    EXPECT_EQ(runEngine(leaving).exitCode, 0);
    EXPECT_EQ(runEngine(standinEnv()).exitCode, 0) << log().constData();
    EXPECT_EQ(readFile(recordPath()).count('\n'), 3);
    for (const QByteArray &pid : readFile(recordPath() + QStringLiteral(".left")).split('\n'))
        if (pid.toInt() > 0)
            ::kill(pid.toInt(), SIGKILL);
}
