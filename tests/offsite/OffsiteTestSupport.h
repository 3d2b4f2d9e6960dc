#pragma once
// Real parts for the off-site tests: a GNOME keyring on the test's private
// session bus, a REST repository served by rclone on a free loopback port,
// and restic itself.

#include "DesktopNotifier.h"
#include "TestSupport.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <gtest/gtest.h>

namespace cv::test {

inline void waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < timeoutMs)
        QThread::msleep(50);
}

// gnome-keyring-daemon with only its secrets part, unlocked, for the whole
// test program. Its files lie in the program's private HOME.
class KeyringEnvironment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        m_runtime = std::make_unique<QTemporaryDir>();
        QFile::setPermissions(m_runtime->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime->path()));
        ASSERT_TRUE(qEnvironmentVariable("HOME").startsWith(QDir::tempPath())) << "the keyring needs a private HOME";
        m_daemon.setProgram(QStringLiteral("gnome-keyring-daemon"));
        m_daemon.setArguments({QStringLiteral("--foreground"), QStringLiteral("--unlock"),
                               QStringLiteral("--components=secrets")});
        m_daemon.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_daemon.start();
        ASSERT_TRUE(m_daemon.waitForStarted()) << "gnome-keyring-daemon is needed";
        m_daemon.write("keyring-unlock-word");
        m_daemon.waitForBytesWritten(5000);
        m_daemon.closeWriteChannel();
        waitUntil([] { return QDBusConnection::sessionBus().interface()->isServiceRegistered(
                           QStringLiteral("org.freedesktop.secrets")).value(); }, 10000);
        ASSERT_EQ(m_daemon.state(), QProcess::Running) << m_daemon.readAllStandardOutput().toStdString();
        ASSERT_TRUE(QDBusConnection::sessionBus().interface()->isServiceRegistered(QStringLiteral("org.freedesktop.secrets")).value());
    }
    void TearDown() override
    {
        m_daemon.terminate();
        m_daemon.waitForFinished(5000);
    }

private:
    std::unique_ptr<QTemporaryDir> m_runtime;
    QProcess m_daemon;
};

inline quint16 freeLoopbackPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

// `rclone serve restic` on 127.0.0.1, started and ended by the test.
class RestServer
{
public:
    explicit RestServer(QString folder, quint16 port = 0)
        : m_folder(std::move(folder)), m_port(port ? port : freeLoopbackPort())
    {
    }
    ~RestServer() { stop(); }

    // bandwidth: rclone's --bwlimit ("4M"), to make an upload last.
    bool start(const QString &bandwidth = {})
    {
        QDir().mkpath(m_folder);
        m_process.setProgram(QStringLiteral("rclone"));
        QStringList arguments{QStringLiteral("serve"), QStringLiteral("restic"), QStringLiteral("--addr"),
                              QStringLiteral("127.0.0.1:%1").arg(m_port), m_folder};
        if (!bandwidth.isEmpty())
            arguments << QStringLiteral("--bwlimit") << bandwidth;
        m_process.setArguments(arguments);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start();
        if (!m_process.waitForStarted())
            return false;
        bool up = false;
        waitUntil([&] {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, m_port);
            return up = socket.waitForConnected(200);
        }, 10000);
        return up;
    }
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    QString url(const QString &path = {}) const { return QStringLiteral("rest:http://127.0.0.1:%1/%2").arg(m_port).arg(path); }
    quint16 port() const { return m_port; }

private:
    QString m_folder;
    quint16 m_port;
    QProcess m_process;
};

// restic by hand, the way a user would reach the repository without us.
inline RunResult restic(const QString &repository, const QString &password, const QStringList &arguments,
                        int timeoutMs = 120000)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    return runProgram(QStringLiteral("restic"), QStringList{QStringLiteral("-r"), repository} + arguments, environment,
                      timeoutMs, password.toUtf8() + '\n');
}

inline int snapshotCount(const QString &repository, const QString &password)
{
    const RunResult result = restic(repository, password, {QStringLiteral("snapshots"), QStringLiteral("--json"), QStringLiteral("-q")});
    return result.exitCode == 0 ? int(QJsonDocument::fromJson(result.out).array().size()) : -1;
}

// A mailbox-like folder: a few files of random bytes.
inline void writeMailbox(const QString &folder, quint32 seed, qint64 bigBytes = 300 * 1000)
{
    QRandomGenerator random(seed);
    auto bytes = [&](qint64 size) {
        QByteArray data(size, Qt::Uninitialized);
        random.fillRange(reinterpret_cast<quint32 *>(data.data()), size / 4);
        return data;
    };
    writeFile(folder + QStringLiteral("/Mail/Local Folders/Inbox"), bytes(bigBytes));
    writeFile(folder + QStringLiteral("/Mail/Local Folders/Inbox.msf"), bytes(4000));
    writeFile(folder + QStringLiteral("/prefs.js"), QByteArray("user_pref(\"seed\", ") + QByteArray::number(seed) + ");\n");
}

// Notices shown, kept for the test to read.
class RecordingNotifier final : public platform::DesktopNotifier
{
public:
    struct Notice { QString summary, body; QStringList actions; uint replaces; };
    std::optional<uint> notify(const QString &summary, const QString &body, const QStringList &actions,
                               uint replacesId) override
    {
        notices.push_back({summary, body, actions, replacesId});
        return uint(notices.size());
    }
    std::vector<Notice> notices;
};

} // namespace cv::test
