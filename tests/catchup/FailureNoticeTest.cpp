// The failure notice, seen by a stand-in notification service that owns the
// freedesktop name on the private session bus: posted for the engine by the
// agent, which outlives it ("Open Log" still works once the engine has
// ended), replaced by a later failure and withdrawn by a success; and the
// record of the last run the engine leaves for the configurator.
#include "Home.h"
#include "Names.h"
#include "PropertyList.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QFile>
#include <QDeadlineTimer>
#include <QDir>
#include <QProcess>
#include <gtest/gtest.h>

#include <functional>
#include <signal.h>

using cv::test::readFile;

namespace {

const QString kEngine = QStringLiteral(CV_ENGINE_BUNDLE "/Contents/MacOS/CVEngine");

struct NoticeCall {
    uint replacesId;
    QString summary;
    QString body;
    QStringList actions;
};

// Answers Notify as a notification server does: a new id, or the same id
// when a shown notice is replaced.
class StandInNotificationServer : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QList<NoticeCall> calls;

public slots:
    uint Notify(const QString &, uint replacesId, const QString &, const QString &summary, const QString &body,
                const QStringList &actions, const QVariantMap &, int)
    {
        calls.append({replacesId, summary, body, actions});
        return replacesId != 0 ? replacesId : ++m_lastId + 40;
    }
    QStringList GetCapabilities() { return {QStringLiteral("actions"), QStringLiteral("body")}; }
    void CloseNotification(uint id) { closed.append(id); }

public:
    QList<uint> closed;

private:
    uint m_lastId = 0;
};

int runEngine(const QProcessEnvironment &env)
{
    QProcess engine;
    engine.setProcessEnvironment(env);
    engine.start(kEngine, {});
    // The test process answers the engine's calls meanwhile.
    QDeadlineTimer deadline(120000);
    while (engine.state() != QProcess::NotRunning && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        engine.waitForFinished(20);
    }
    return engine.exitCode();
}

// Processes the bus until the condition holds (the agent answers after the engine has ended).
bool waitFor(const std::function<bool()> &condition)
{
    QDeadlineTimer deadline(20000);
    for (;;) {
        if (condition())
            return true; // not asked again: what held once may pass (a process reaped)
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
}

// The agent the engine started, as it recorded itself in its lock.
qint64 agentPid()
{
    return cv::test::readFile(cv::supportFolder() + QLatin1String(cv::names::kAgentLockFileName)).trimmed().toLongLong();
}

// Gone, or a zombie that whoever adopted it has not yet reaped.
bool gone(qint64 pid)
{
    if (::kill(pid_t(pid), 0) != 0)
        return true;
    // Reaped between the two looks: gone too.
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.isEmpty() || stat.mid(stat.lastIndexOf(')') + 2, 1) == "Z";
}

QVariantMap lastRun()
{
    return cv::platform::readDictionaryFile(cv::supportFolder() + QLatin1String(cv::names::kLastRunFileName))
        .value_or(QVariantMap());
}

} // namespace

TEST(FailureNotice, TheAgentKeepsAFailedRunsNoticeUntilASuccessWithdrawsIt)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        GTEST_SKIP() << "needs the private session bus";
    cv::test::ScopedHome home;
    StandInNotificationServer server;
    ASSERT_TRUE(bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &server,
                                   QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(bus.registerService(QStringLiteral("org.freedesktop.Notifications")));

    const QString destination = home.file(QStringLiteral("Backups"));
    ASSERT_TRUE(cv::test::writeEngineSettings(
        QStringLiteral("Corvantis is currently configured to backup Thunderbird on Run Now only."),
        {{QStringLiteral("Client"), QStringLiteral("Thunderbird")}, {QStringLiteral("Destination"), destination}}));
    ASSERT_TRUE(cv::test::writeFile(home.file(QStringLiteral("Library/Thunderbird/prefs.js")), "x\n"));
    // The desktop's opener, standing in: says what it was asked to open.
    const QString bin = home.file(QStringLiteral("bin"));
    const QString opened = home.file(QStringLiteral("opened"));
    ASSERT_TRUE(cv::test::writeFile(bin + QStringLiteral("/xdg-open"),
                                    QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$1\" >> '%1'\n").arg(opened).toUtf8()));
    QFile::setPermissions(bin + QStringLiteral("/xdg-open"), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    const QProcessEnvironment env = cv::test::engineEnvironment(QStringLiteral("offscreen"), bin);

    EXPECT_EQ(runEngine(env), 1);
    ASSERT_TRUE(waitFor([&] { return server.calls.size() == 1; })) << readFile(cv::logFilePath()).constData();
    EXPECT_EQ(server.calls[0].summary, QStringLiteral("Backup failed"));
    EXPECT_EQ(server.calls[0].body, QStringLiteral("Backup failed. Destination not available."));
    EXPECT_EQ(server.calls[0].actions, (QStringList{QStringLiteral("open-log"), QStringLiteral("Open Log")}));
    EXPECT_EQ(server.calls[0].replacesId, 0u);
    QVariantMap record = lastRun();
    EXPECT_FALSE(record.value(QStringLiteral("Succeeded")).toBool());
    EXPECT_EQ(record.value(QStringLiteral("Reason")).toString(), QStringLiteral("Backup failed. Destination not available."));
    EXPECT_TRUE(record.value(QStringLiteral("Time")).toDateTime().isValid());

    // "Open Log" with the engine long gone.
    QDBusMessage action = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/Notifications"),
                                                     QStringLiteral("org.freedesktop.Notifications"),
                                                     QStringLiteral("ActionInvoked"));
    action << 41u << QStringLiteral("open-log");
    ASSERT_TRUE(bus.send(action));
    EXPECT_TRUE(waitFor([&] { return readFile(opened) == QFile::encodeName(cv::logFilePath()) + '\n'; }))
        << readFile(opened).constData();

    // A second failure replaces the first notice.
    EXPECT_EQ(runEngine(env), 1);
    ASSERT_TRUE(waitFor([&] { return server.calls.size() == 2; }));
    EXPECT_EQ(server.calls[1].replacesId, 41u);

    // A success withdraws it and is recorded as one; the agent, with no
    // catch-up to keep and no notice left, goes.
    const qint64 agent = agentPid();
    ASSERT_GT(agent, 0);
    QDir().mkpath(destination);
    EXPECT_EQ(runEngine(env), 0);
    EXPECT_TRUE(waitFor([&] { return server.closed == QList<uint>{41}; }));
    EXPECT_EQ(server.calls.size(), 2);
    record = lastRun();
    EXPECT_TRUE(record.value(QStringLiteral("Succeeded")).toBool());
    EXPECT_FALSE(record.contains(QStringLiteral("Reason")));
    EXPECT_TRUE(waitFor([&] { return gone(agent); })) << "the agent stayed";
}

#include "FailureNoticeTest.moc"
