#include "Updater.h"

#include "TestSupport.h"

#include <QNetworkProxy>
#include <QSignalSpy>
#include <QTest>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <gtest/gtest.h>

#include <functional>
#include <unistd.h>

using cv::configurator::Updater;
using namespace std::chrono_literals;

namespace {

constexpr qlonglong kOurBuild = 200;

struct RecordingDialogs : cv::configurator::UpdateDialogs {
    QStringList shown;
    void showUpToDate() override { shown << QStringLiteral("up to date"); }
    void showNewVersion(const QString &v, const QUrl &url) override { shown << QStringLiteral("new %1 %2").arg(v, url.toString()); }
    void showCheckFailed(const QString &reason) override { shown << QStringLiteral("failed: ") + reason; }
};

// A one-route HTTP server on loopback. The handler gets each socket once its
// request head has arrived, and may answer, trickle or stay silent.
class FeedServer
{
public:
    using Handler = std::function<void(QTcpSocket *)>;
    explicit FeedServer(Handler handler) : m_handler(std::move(handler))
    {
        EXPECT_TRUE(m_server.listen(QHostAddress::LocalHost));
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    if (socket->property("answered").toBool() || !socket->peek(65536).contains("\r\n\r\n"))
                        return;
                    socket->setProperty("answered", true);
                    m_handler(socket);
                });
            }
        });
    }
    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/corvantis/appcast.xml").arg(m_server.serverPort())); }

    static Handler answer(QByteArray body, bool withLength = true, QByteArray status = "200 OK")
    {
        return [=](QTcpSocket *s) {
            s->write("HTTP/1.1 " + status + "\r\nContent-Type: application/rss+xml\r\nConnection: close\r\n");
            if (withLength)
                s->write("Content-Length: " + QByteArray::number(body.size()) + "\r\n");
            s->write("\r\n" + body);
            s->disconnectFromHost();
        };
    }

private:
    QTcpServer m_server;
    Handler m_handler;
};

QByteArray feed(const QByteArray &items, const QByteArray &ns = "xmlns:cv=\"https://tallowmere.example/xml/feed\"")
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<rss version=\"2.0\" " + ns
         + "><channel><title>Corvantis</title>" + items + "</channel></rss>\n";
}
QByteArray item(const QByteArray &build, const QByteArray &version, const QByteArray &url = {}, const QByteArray &prefix = "cv")
{
    const QByteArray u = url.isEmpty() ? "https://tallowmere.example/corvantis/Corvantis-" + version + ".zip" : url;
    return "<item><title>" + version + "</title><enclosure url=\"" + u + "\" " + prefix + ":version=\"" + build + "\" "
         + prefix + ":shortVersionString=\"" + version + "\" length=\"1\" type=\"application/zip\"/></item>";
}

class UpdaterTest : public ::testing::Test
{
protected:
    // Loopback only, whatever proxy the environment names.
    void SetUp() override { QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy); }

    // Runs one check to its end and lets the event loop settle, so that a
    // second, stray dialog would be seen too.
    QStringList check(const QUrl &url, bool userStarted, std::chrono::milliseconds timeout = 10s)
    {
        RecordingDialogs dialogs;
        Updater updater(url, kOurBuild, dialogs);
        updater.setTimeout(timeout);
        QSignalSpy finished(&updater, &Updater::checkFinished);
        userStarted ? updater.checkForUpdates(nullptr) : updater.checkQuietlyAtStartup();
        EXPECT_TRUE(finished.wait(20000));
        QTest::qWait(100);
        EXPECT_EQ(finished.size(), 1);
        EXPECT_FALSE(updater.isChecking());
        return dialogs.shown;
    }
    QStringList checkFeed(const QByteArray &body, bool userStarted = true)
    {
        FeedServer server(FeedServer::answer(body));
        return check(server.url(), userStarted);
    }
};

// Standard error to a file while f runs; what was written comes back.
QByteArray captureStandardError(const std::function<void()> &f)
{
    cv::test::ScopedHome home;
    const QString path = home.file(QStringLiteral("stderr.txt"));
    std::fflush(stderr);
    const int saved = ::dup(STDERR_FILENO);
    EXPECT_TRUE(std::freopen(qPrintable(path), "w", stderr));
    f();
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    return cv::test::readFile(path);
}

} // namespace

TEST_F(UpdaterTest, TheHighestBuildIsComparedWithOurs)
{
    // Out of order on purpose; only the highest build counts.
    EXPECT_EQ(checkFeed(feed(item("150", "1.5") + item("205.2", "2.0.5") + item("201", "2.0.1"))),
              QStringList{QStringLiteral("new 2.0.5 https://tallowmere.example/corvantis/Corvantis-2.0.5.zip")});
    EXPECT_EQ(checkFeed(feed(item("200", "2.0") + item("150", "1.5"))), QStringList{QStringLiteral("up to date")});
    EXPECT_EQ(checkFeed(feed(item("199", "1.9.9"))), QStringList{QStringLiteral("up to date")});
}

TEST_F(UpdaterTest, BuildAttributesAreFoundByLocalNameInAnyNamespace)
{
    const QByteArray two = "xmlns:a=\"urn:example:one\" xmlns:zz=\"https://tallowmere.example/other\"";
    EXPECT_EQ(checkFeed(feed(item("201", "2.0.1", {}, "a") + item("203", "2.0.3", {}, "zz"), two)),
              QStringList{QStringLiteral("new 2.0.3 https://tallowmere.example/corvantis/Corvantis-2.0.3.zip")});
    // A relative address is taken from the feed's own place; one that is not a
    // web page is never offered, even as the highest build.
    const auto shown = checkFeed(feed(item("202", "2.0.2", "downloads/C.zip") + item("900", "9.0", "file:///bin/sh")
                                      + item("901", "9.0.1", "javascript:alert(1)")
                                      + item("902", "9.0.2", "smb://tallowmere.example/C.zip")));
    ASSERT_EQ(shown.size(), 1);
    EXPECT_TRUE(shown[0].startsWith(QStringLiteral("new 2.0.2 http://127.0.0.1:"))) << shown[0].toStdString();
    EXPECT_TRUE(shown[0].endsWith(QStringLiteral("/corvantis/downloads/C.zip")));
}

TEST_F(UpdaterTest, UnreadableFeedsAreReportedAsFailures)
{
    const QList<QByteArray> bad{
        feed(item("300", "3.0")).left(120),                             // cut short
        feed(item("300", "3.0", {}, "undeclared"), ""),                 // prefix never declared
        "<html><body>Not here</body></html>",                           // not RSS
        feed("<item><title>no enclosure</title></item>" + item("soon", "3.0")), // nothing usable
        "",
    };
    for (const auto &body : bad) {
        const auto shown = checkFeed(body);
        ASSERT_EQ(shown.size(), 1) << body.constData();
        EXPECT_TRUE(shown[0].startsWith(QStringLiteral("failed: The update feed "))) << shown[0].toStdString();
    }
}

TEST_F(UpdaterTest, AtMostOneMebibyteIsRead)
{
    // A valid feed of exactly 1 MiB is read; one byte more is refused, whether
    // or not the server announces the length.
    const QByteArray head = feed(item("201", "2.0.1")).replace("<title>", "<!--  --><title>");
    QByteArray exact = head;
    exact.insert(exact.indexOf("<!-- ") + 5, QByteArray(Updater::kMaxFeedBytes - head.size(), 'x'));
    ASSERT_EQ(exact.size(), Updater::kMaxFeedBytes);
    EXPECT_EQ(checkFeed(exact).value(0).left(10), QStringLiteral("new 2.0.1 "));
    const QByteArray over = QByteArray(exact).insert(exact.indexOf("<!-- ") + 5, 'x');
    for (bool withLength : {true, false}) {
        FeedServer server(FeedServer::answer(over, withLength));
        EXPECT_EQ(check(server.url(), true), QStringList{QStringLiteral("failed: The update feed is larger than 1 MiB.")});
    }
}

TEST_F(UpdaterTest, SilentSlowAndAbsentServersEndTheCheck)
{
    const QStringList late{QStringLiteral("failed: The update server did not answer in time.")};
    FeedServer silent([](QTcpSocket *) {});
    EXPECT_EQ(check(silent.url(), true, 300ms), late);
    // Bytes that keep trickling in do not keep the check alive.
    FeedServer trickle([](QTcpSocket *s) {
        s->write("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n<");
        auto *timer = new QTimer(s);
        QObject::connect(timer, &QTimer::timeout, s, [s] { s->write(" "); });
        timer->start(20);
    });
    EXPECT_EQ(check(trickle.url(), true, 500ms), late);

    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    const QUrl refused(QStringLiteral("http://127.0.0.1:%1/appcast.xml").arg(closed.serverPort()));
    closed.close();
    EXPECT_EQ(check(refused, true), QStringList{QStringLiteral("failed: Connection refused")});

    FeedServer missing(FeedServer::answer("gone", true, "404 Not Found"));
    EXPECT_EQ(check(missing.url(), true), QStringList{QStringLiteral("failed: The update server answered 404 Not Found.")});
}

TEST_F(UpdaterTest, TheStartUpCheckOnlySpeaksOfANewVersionAndLogsAFailureOnce)
{
    QStringList upToDate{QStringLiteral("-")}, newer, failed{QStringLiteral("-")};
    const QByteArray quietLog = captureStandardError([&] { upToDate = checkFeed(feed(item("200", "2.0")), false); });
    EXPECT_TRUE(upToDate.isEmpty());
    EXPECT_TRUE(quietLog.isEmpty()) << quietLog.constData();
    newer = checkFeed(feed(item("201", "2.0.1")), false);
    EXPECT_EQ(newer.size(), 1);

    const QByteArray log = captureStandardError([&] { failed = checkFeed("<rss version=\"2.0\"><channel>", false); });
    EXPECT_TRUE(failed.isEmpty());
    EXPECT_EQ(log.count('\n'), 1) << log.constData();
    EXPECT_TRUE(log.contains("] Update check failed: The update feed is not valid XML")) << log.constData();
}

TEST_F(UpdaterTest, CheckNowDuringTheStartUpCheckGetsItsAnswer)
{
    FeedServer slow([](QTcpSocket *s) { QTimer::singleShot(200, s, [s] { FeedServer::answer(feed(item("200", "2.0")))(s); }); });
    RecordingDialogs dialogs;
    Updater updater(slow.url(), kOurBuild, dialogs);
    QSignalSpy finished(&updater, &Updater::checkFinished);
    updater.checkQuietlyAtStartup();
    QTest::qWait(50);
    updater.checkForUpdates(nullptr);
    updater.checkForUpdates(nullptr);
    ASSERT_TRUE(finished.wait(10000));
    QTest::qWait(300);
    EXPECT_EQ(dialogs.shown, QStringList{QStringLiteral("up to date")});
    EXPECT_EQ(finished.size(), 1);
}

TEST_F(UpdaterTest, SettingsComeFromTheBundle)
{
    const auto built = Updater::readBundleSettings(QStringLiteral(CV_CONFIGURATOR_BUNDLE));
    EXPECT_EQ(built.feedUrl, QUrl(QStringLiteral("https://tallowmere.example/corvantis/appcast.xml")));
    EXPECT_GT(built.currentBuild, 0);

    cv::test::ScopedHome home;
    ASSERT_TRUE(cv::test::writeFile(home.file(QStringLiteral("B.app/Contents/Info.plist")),
                                    "<plist version=\"1.0\"><dict><key>CFBundleVersion</key><string>12.5</string></dict></plist>"));
    const auto partial = Updater::readBundleSettings(home.file(QStringLiteral("B.app")));
    EXPECT_EQ(partial.currentBuild, 12);
    EXPECT_TRUE(partial.feedUrl.isEmpty());
    EXPECT_EQ(check(partial.feedUrl, true), QStringList{QStringLiteral("failed: No update feed is configured.")});
}
