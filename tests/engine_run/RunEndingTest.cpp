// How a run ends when it cannot finish by itself: a client that never quits,
// an engine that is ended by a signal. The real script and commands run; the
// quit-wait limit is shortened through the controller.
#include "AppController.h"
#include "EngineRunSupport.h"
#include "EngineTestSupport.h"
#include "Home.h"
#include "Names.h"
#include "TestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <gtest/gtest.h>

#include <csignal>
#include <optional>

using cv::engine::AppController;
using namespace cv::test;
using cv::test::readFile;
using cv::test::writeFile;
using namespace std::chrono_literals;

namespace {

const QString kClientName = QStringLiteral("Microsoft Outlook");

// A stand-in client: its command line holds the client's name, as the
// script's process count and the quit request look for it. Unless it obeys,
// it notes the quit request and runs on.
class StandInClient
{
public:
    StandInClient(const cv::test::ScopedHome &home, bool obeys)
    {
        const QString script = home.file(QStringLiteral("client.sh"));
        const QString up = home.file(QStringLiteral("client-up"));
        m_requests = home.file(QStringLiteral("client-quit-requests"));
        const QString trap = obeys ? QString() : QStringLiteral("trap 'echo quit >> \"%1\"' TERM\n").arg(m_requests);
        writeFile(script, (trap + QStringLiteral("echo up > '%1'\nwhile :; do sleep 0.1; done\n").arg(up)).toUtf8());
        m_process.start(QStringLiteral("/bin/bash"),
                        {QStringLiteral("-c"), QStringLiteral("exec -a \"%1\" /bin/sh \"$0\"").arg(kClientName), script});
        m_ready = m_process.waitForStarted() && QTest::qWaitFor([&] { return QFileInfo::exists(up); }, 10000);
    }
    ~StandInClient() { stop(); }
    bool ready() const { return m_ready; }
    bool running() const { return m_process.state() == QProcess::Running; }
    QByteArray quitRequests() const { return readFile(m_requests); }
    void stop()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

private:
    QProcess m_process;
    QString m_requests;
    bool m_ready = false;
};

// Holds the errors presentation, as a bubble waiting for its button does.
class HeldPresenter : public cv::engine::RunPresenter
{
public:
    std::function<void()> onErrors;
    bool errorsShown = false;
    void showRunStarted() override {}
    void showStatus(const QString &) override {}
    void showSuccess() override {}
    bool showErrors() override
    {
        errorsShown = true;
        if (onErrors)
            onErrors();
        return true;
    }
};

// An environment variable set for the lifetime of the object.
struct ScopedEnv {
    ScopedEnv(const char *name, const QByteArray &value)
        : name(name), had(qEnvironmentVariableIsSet(name)), previous(qgetenv(name))
    {
        qputenv(name, value);
    }
    ~ScopedEnv() { had ? qputenv(name, previous) : qunsetenv(name); }
    const char *name;
    bool had;
    QByteArray previous;
};

class RunEnding : public ::testing::Test
{
protected:
    cv::test::ScopedHome home;

    QString destination() const { return home.file(QStringLiteral("Backups/Outlook")); }
    QString source() const { return home.file(QStringLiteral("Documents/Microsoft User Data/Office 2011 Identities")); }
    QString recordPath() const { return home.file(QStringLiteral("ditto-calls")); }
    QByteArray log() const { return readFile(cv::logFilePath()); }

    void SetUp() override
    {
        ASSERT_TRUE(cv::test::writeEngineSettings(
            QStringLiteral("Corvantis is currently configured to backup Microsoft Outlook 2011 on Run Now only."),
            {{QStringLiteral("Client"), QStringLiteral("Microsoft Outlook 2011")},
             {QStringLiteral("Destination"), destination()}}));
        ASSERT_TRUE(writeFile(source() + QStringLiteral("/Main Identity/Database"), QByteArray(64 * 1024, 'N')));
        ASSERT_TRUE(writeFile(destination() + QStringLiteral("/Main Identity/Database"), QByteArray(64 * 1024, 'O')));
        ASSERT_TRUE(writeFile(destination() + QStringLiteral("/Main Identity/Only In The Old Backup"), "old\n"));
    }

    // Starts the engine and waits until its copy has begun (`begun` exists):
    // the script's process group, or -1.
    qint64 startCopying(QProcess &engine, const QProcessEnvironment &e, const QString &begun) const
    {
        engine.setProcessEnvironment(e);
        engine.start(kEngine, {});
        if (!engine.waitForStarted() || !QTest::qWaitFor([&] { return QFileInfo::exists(begun); }, 30000))
            return -1;
        return childGroup(engine.processId());
    }

    // The recording stand-in copy command, then our osascript.
    QByteArray standinPath() const
    {
        return QByteArray(CV_ENGINE_RUN_STANDINS ":" CV_COMPAT_BIN_DIR ":") + qgetenv("PATH");
    }
    QProcessEnvironment standinEnv() const
    {
        QProcessEnvironment e = cv::test::engineEnvironment(QStringLiteral("offscreen"));
        e.insert(QStringLiteral("PATH"), QString::fromLocal8Bit(standinPath()));
        e.insert(QStringLiteral("CV_DITTO_RECORD"), recordPath());
        return e;
    }

};

} // namespace

// The client ignores the quit request. The run gives up after the limit,
// stops its script's whole group, copies nothing and ends in the errors
// state; a second engine started while the first still shows its errors
// then runs its backup.
TEST_F(RunEnding, GivingUpOnAClientThatNeverQuitsEndsInErrorsAndFreesTheNextRun)
{
    StandInClient client(home, false);
    ASSERT_TRUE(client.ready());
    const QStringList before = cv::test::mirrorListing(destination());
    ScopedEnv path("PATH", standinPath());
    ScopedEnv record("CV_DITTO_RECORD", QFile::encodeName(recordPath()));
    // The wait loop's sleep outlives the script: the run is over only once it
    // has gone too.
    ScopedEnv stubborn("CV_SLEEP_IGNORES_TERM", "1");

    auto controller = std::make_unique<AppController>();
    HeldPresenter presenter;
    std::optional<int> exitStatus;
    int livingAtErrors = -1;
    controller->setPresenter(&presenter);
    controller->setTerminateHandler([&](int status) { exitStatus = status; });
    controller->setQuitWaitLimit(1s);
    presenter.onErrors = [&] { livingAtErrors = livingMembers(controller->scriptProcessGroup()); };

    cv::test::CapturedStderr captured;
    controller->runBackupNow();
    const qint64 group = controller->scriptProcessGroup();
    ASSERT_GT(group, 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return livingMembers(group) > 0; }, 5000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return presenter.errorsShown; }, 20000));
    const QString logged = QString::fromUtf8(captured.take());

    EXPECT_EQ(controller->outcome(), AppController::Outcome::Errors);
    EXPECT_FALSE(exitStatus.has_value()); // the errors stay up for the user
    EXPECT_TRUE(logged.contains(QStringLiteral("Waiting for Microsoft Outlook to quit\n"))) << logged.toStdString();
    EXPECT_TRUE(logged.contains(
        QStringLiteral("Gave up waiting for Microsoft Outlook to quit after 1 second; no backup was made.\n")))
        << logged.toStdString();
    EXPECT_EQ(livingAtErrors, 0);
    EXPECT_EQ(livingMembers(group), 0);
    EXPECT_FALSE(QFileInfo::exists(recordPath())); // the copy command never ran
    EXPECT_EQ(cv::test::mirrorListing(destination()), before); // the run is in the journal, nothing else
    EXPECT_FALSE(QFileInfo::exists(cv::markerFilePath()));
    EXPECT_FALSE(QFileInfo::exists(cv::scriptFilePath()));
    EXPECT_TRUE(client.quitRequests().contains("quit")); // asked, ignored,
    EXPECT_TRUE(client.running());                        // and not ours to end

    client.stop();
    const auto second = cv::test::runProgram(kEngine, {}, standinEnv(), 60000);
    EXPECT_EQ(second.exitCode, 0) << log().constData();
    EXPECT_EQ(readFile(recordPath()).count('\n'), 1);
    EXPECT_TRUE(QFileInfo::exists(cv::markerFilePath()));
    EXPECT_FALSE(log().contains("Another backup is already running"));
    controller.reset();
}

// The limit is for the quit wait only: once the client has quit, a copy that
// says nothing for longer than the limit runs to its end.
TEST_F(RunEnding, ASilentCopyLongerThanTheLimitIsNotCutShort)
{
    StandInClient client(home, true);
    ASSERT_TRUE(client.ready());
    ScopedEnv path("PATH", standinPath());
    ScopedEnv record("CV_DITTO_RECORD", QFile::encodeName(recordPath()));
    ScopedEnv slow("CV_DITTO_SLEEP", "3.5");

    AppController controller;
    HeldPresenter presenter;
    std::optional<int> exitStatus;
    controller.setPresenter(&presenter);
    controller.setTerminateHandler([&](int status) { exitStatus = status; });
    controller.setQuitWaitLimit(2s);

    cv::test::CapturedStderr captured;
    controller.runBackupNow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return exitStatus.has_value() || presenter.errorsShown; }, 30000));
    const QString logged = QString::fromUtf8(captured.take());
    EXPECT_EQ(controller.outcome(), AppController::Outcome::Success) << logged.toStdString();
    EXPECT_EQ(exitStatus, 0);
    EXPECT_TRUE(logged.contains(QStringLiteral("Waiting for Microsoft Outlook to quit\n"))) << logged.toStdString();
    EXPECT_FALSE(logged.contains(QStringLiteral("Gave up")));
    EXPECT_EQ(readFile(recordPath()).count('\n'), 1);
}

// SIGTERM reaches the engine while the real copy command is replacing a file
// of the previous backup: the copy stops, nothing of the script is left, and
// the previous backup is whole. The lock goes with the engine.
TEST_F(RunEnding, SigtermDuringACopyStopsItAndKeepsThePreviousBackup)
{
    const QStringList before = cv::test::treeListing(destination());
    const QString paused = home.file(QStringLiteral("copy-paused"));
    QProcessEnvironment e = cv::test::engineEnvironment(QStringLiteral("offscreen"));
    e.insert(QStringLiteral("PATH"), QStringLiteral(CV_COMPAT_BIN_DIR ":") + e.value(QStringLiteral("PATH")));
    e.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(CV_PAUSE_RENAME_LIBRARY));
    e.insert(QStringLiteral("CV_PAUSE_RENAME_TO"), QStringLiteral("Database"));
    e.insert(QStringLiteral("CV_PAUSE_MARKER"), paused);

    std::optional<Observer> observer;
    if (haveBus()) {
        ASSERT_TRUE(observer.emplace(60000).ready());
    }

    QProcess engine;
    const qint64 group = startCopying(engine, e, paused);
    ASSERT_GT(group, 0) << log().constData();
    EXPECT_NE(group, engine.processId());
    ASSERT_GT(livingMembers(group), 0);

    ::kill(static_cast<pid_t>(engine.processId()), SIGTERM);
    ASSERT_TRUE(engine.waitForFinished(20000));
    EXPECT_EQ(engine.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(engine.exitCode(), 128 + SIGTERM);
    EXPECT_TRUE(log().contains("interrupted by SIGTERM")) << log().constData();
    // The history knows the run ended, and how.
    const QByteArray journal = readFile(destination() + QStringLiteral("/.corvantis-versions/journal"));
    EXPECT_TRUE(journal.startsWith("start\t") && journal.endsWith("\tfailed\n")) << journal.constData();
    EXPECT_EQ(livingMembers(group), 0);
    EXPECT_FALSE(QFileInfo::exists(cv::scriptFilePath()));
    EXPECT_FALSE(QFileInfo::exists(cv::markerFilePath()));
    // Old or whole, never half: the data written aside never replaced the old
    // file. Only the aside file may be left next to it.
    QStringList after = cv::test::mirrorListing(destination());
    after.erase(std::remove_if(after.begin(), after.end(),
                               [](const QString &entry) { return entry.contains(QLatin1String("/.ditto-")); }),
                after.end());
    EXPECT_EQ(after, before);
    if (observer) {
        EXPECT_TRUE(observer->received());
    }

    e.remove(QStringLiteral("LD_PRELOAD"));
    const auto next = cv::test::runProgram(kEngine, {}, e, 60000);
    EXPECT_EQ(next.exitCode, 0) << log().constData();
    EXPECT_EQ(readFile(destination() + QStringLiteral("/Main Identity/Database")), QByteArray(64 * 1024, 'N'));
}

// The log is standard error from the very first line, so what the platform
// says while it starts lands there too, not in cron's mail.
TEST_F(RunEnding, PlatformStartUpWarningsLandInTheLog)
{
    ASSERT_TRUE(cv::test::writeEngineSettings(QString::fromUtf8(cv::names::kNotConfigured)));
    QProcessEnvironment e = cv::test::engineEnvironment(QStringLiteral("xcb;offscreen"));
    e.remove(QStringLiteral("DISPLAY"));
    e.remove(QStringLiteral("WAYLAND_DISPLAY"));
    const auto r = cv::test::runProgram(kEngine, {}, e, 60000);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.err.isEmpty()) << r.err.constData();
    EXPECT_TRUE(log().contains("xcb")) << log().constData();
}

// An engine killed outright mid-copy cannot stop its script, which copies on.
// The run lock goes on being held by the script's group: a second engine
// skips its run, and only once the whole group has gone may the next copy.
TEST_F(RunEnding, AfterKill9MidCopyTheLockIsHeldUntilTheScriptHasGone)
{
    QProcessEnvironment e = standinEnv();
    e.insert(QStringLiteral("CV_DITTO_SLEEP"), QStringLiteral("3"));
    QProcess first;
    const qint64 group = startCopying(first, e, recordPath());
    ASSERT_GT(group, 0) << log().constData();

    ::kill(static_cast<pid_t>(first.processId()), SIGKILL);
    ASSERT_TRUE(first.waitForFinished(10000));
    ASSERT_GT(livingMembers(group), 0); // the copy goes on

    e.remove(QStringLiteral("CV_DITTO_SLEEP"));
    const auto second = cv::test::runProgram(kEngine, {}, e, 60000);
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_TRUE(log().contains("Another backup is already running; this run was skipped.")) << log().constData();
    EXPECT_EQ(readFile(recordPath()).count('\n'), 1); // no second copy beside the first

    ASSERT_TRUE(QTest::qWaitFor([&] { return livingMembers(group) == 0; }, 20000));
    const auto third = cv::test::runProgram(kEngine, {}, e, 60000);
    EXPECT_EQ(third.exitCode, 0) << log().constData();
    EXPECT_EQ(readFile(recordPath()).count('\n'), 2);
}

// The X server goes away mid-run (a logout): the window system ends the
// engine from inside its event loop, and still the script's group is
// stopped, the script deleted, the end logged and announced.
TEST_F(RunEnding, LosingTheDisplayMidRunEndsTheRunCleanly)
{
    if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty())
        GTEST_SKIP() << "needs Xvfb";
    QProcess server;
    server.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                                          QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"),
                                          QStringLiteral("800x600x24")});
    ASSERT_TRUE(server.waitForReadyRead(20000));
    const QString display = QStringLiteral(":") + QString::fromLatin1(server.readLine().trimmed());

    std::optional<Observer> observer;
    if (haveBus()) {
        ASSERT_TRUE(observer.emplace(60000).ready());
    }
    QProcessEnvironment e = standinEnv();
    e.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    e.insert(QStringLiteral("DISPLAY"), display);
    e.insert(QStringLiteral("CV_DITTO_SLEEP"), QStringLiteral("60"));
    QProcess engine;
    const qint64 group = startCopying(engine, e, recordPath());
    ASSERT_GT(group, 0) << log().constData();

    server.kill();
    server.waitForFinished(10000);
    ASSERT_TRUE(engine.waitForFinished(20000));
    EXPECT_NE(engine.exitCode(), 0);
    EXPECT_EQ(livingMembers(group), 0);
    EXPECT_FALSE(QFileInfo::exists(cv::scriptFilePath()));
    EXPECT_FALSE(QFileInfo::exists(cv::markerFilePath()));
    EXPECT_TRUE(log().contains("The display went away; the backup's script is being stopped.")) << log().constData();
    // Not the last line the script happened to print.
    EXPECT_TRUE(cv::test::readFile(cv::supportFolder() + QLatin1String(cv::names::kLastRunFileName))
                    .contains("The backup was stopped because the session ended."));
    if (observer) {
        EXPECT_TRUE(observer->received());
    }
}

// A script written but not made executable: said once, as what it is, and
// the run ends in errors without a script left behind.
TEST_F(RunEnding, AScriptThatCannotBeMadeExecutableIsLoggedOnce)
{
    AppController controller;
    std::optional<int> exitStatus;
    controller.setTerminateHandler([&](int status) { exitStatus = status; });
    controller.setChmodProgram(QStringLiteral("/bin/false"));
    cv::test::CapturedStderr captured;
    controller.runBackupNow();
    const QStringList messages = captured.takeMessages();
    EXPECT_EQ(controller.outcome(), AppController::Outcome::Errors);
    EXPECT_EQ(exitStatus, 1);
    EXPECT_EQ(messages.filter(QStringLiteral("script")).size() + messages.filter(QStringLiteral("Executable")).size(), 1)
        << messages.join(u'|').toStdString();
    EXPECT_TRUE(messages.contains(QStringLiteral("Make task Executable: Unsuccessful")));
    EXPECT_FALSE(QFileInfo::exists(cv::scriptFilePath()));
}
