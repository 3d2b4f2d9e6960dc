#include "Updater.h"

#include "TestSupport.h"

#include <QNetworkProxy>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <functional>
#include <unistd.h>

using cv::configurator::Updater;
using namespace std::chrono_literals;

namespace {

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
            while (QTcpSocket *s = m_server.nextPendingConnection())
                QObject::connect(s, &QTcpSocket::readyRead, s, [this, s] {
                    if (!s->property("answered").toBool() && s->peek(65536).contains("\r\n\r\n"))
                        s->setProperty("answered", true), m_handler(s);
                });
        });
    }
    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/corvantis/appcast.xml").arg(m_server.serverPort())); }

    static Handler answer(QByteArray body, bool withLength = true, QByteArray status = "200 OK")
    {
        return [=](QTcpSocket *s) {
            s->write("HTTP/1.1 " + status + "\r\nConnection: close\r\n"
                     + (withLength ? "Content-Length: " + QByteArray::number(body.size()) + "\r\n" : QByteArray()) + "\r\n" + body);
            s->disconnectFromHost();
        };
    }

private:
    QTcpServer m_server;
    Handler m_handler;
};

QByteArray feed(const QByteArray &items, const QByteArray &ns = "xmlns:cv=\"https://tallowmere.example/xml/feed\"")
{
    return "<?xml version=\"1.0\"?>\n<rss version=\"2.0\" " + ns + "><channel><title>Corvantis</title>" + items + "</channel></rss>\n";
}
QByteArray item(const QByteArray &build, const QByteArray &version, QByteArray url = {}, const QByteArray &p = "cv")
{
    url = url.isEmpty() ? "https://tallowmere.example/C-" + version + ".zip" : url;
    return "<item><enclosure url=\"" + url + "\" " + p + ":version=\"" + build + "\" " + p + ":shortVersionString=\"" + version + "\"/></item>";
}
QStringList newVersion(const QString &v) { return {QStringLiteral("new %1 https://tallowmere.example/C-%1.zip").arg(v)}; }
QStringList failed(const QString &reason) { return {QStringLiteral("failed: ") + reason}; }

class UpdaterTest : public ::testing::Test
{
protected:
    // Loopback only, whatever proxy the environment names.
    void SetUp() override { QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy); }

    // One check to its end, then a pause in which a stray second dialog would show.
    QStringList check(const QUrl &url, bool userStarted = true, std::chrono::milliseconds timeout = 10s)
    {
        RecordingDialogs dialogs;
        Updater updater(url, 200, dialogs);
        updater.setTimeout(timeout);
        QSignalSpy finished(&updater, &Updater::checkFinished);
        userStarted ? updater.checkForUpdates(nullptr) : updater.checkQuietlyAtStartup();
        EXPECT_TRUE(finished.wait(20000));
        QTest::qWait(100);
        EXPECT_EQ(finished.size(), 1);
        return dialogs.shown;
    }
    QStringList checkFeed(const QByteArray &body, bool userStarted = true)
    {
        FeedServer server(FeedServer::answer(body));
        return check(server.url(), userStarted);
    }
};

// What f writes to standard error.
QByteArray standardErrorOf(const std::function<void()> &f)
{
    cv::test::CapturedStderr captured;
    f();
    return captured.take();
}

} // namespace

TEST_F(UpdaterTest, TheHighestBuildIsComparedWithOurs)
{
    EXPECT_EQ(checkFeed(feed(item("150", "1.5") + item("205.2", "2.0.5") + item("201", "2.0.1"))), newVersion("2.0.5"));
    EXPECT_EQ(checkFeed(feed(item("200", "2.0") + item("150", "1.5"))), QStringList{"up to date"});
    EXPECT_EQ(checkFeed(feed(item("199", "1.9.9"))), QStringList{"up to date"});
}

TEST_F(UpdaterTest, BuildAttributesAreFoundByLocalNameAndOnlyWebAddressesAreOffered)
{
    const QByteArray two = "xmlns:a=\"urn:example:one\" xmlns:zz=\"https://tallowmere.example/other\"";
    EXPECT_EQ(checkFeed(feed(item("201", "2.0.1", {}, "a") + item("203", "2.0.3", {}, "zz"), two)), newVersion("2.0.3"));
    // Relative addresses resolve against the feed; other schemes never win.
    const auto shown = checkFeed(feed(item("202", "2.0.2", "downloads/C.zip") + item("900", "9", "file:///bin/sh")
                                      + item("901", "9", "javascript:alert(1)") + item("902", "9", "smb://tallowmere.example/C")));
    ASSERT_EQ(shown.size(), 1);
    EXPECT_TRUE(shown[0].startsWith("new 2.0.2 http://127.0.0.1:") && shown[0].endsWith("/corvantis/downloads/C.zip")) << qPrintable(shown[0]);
}

TEST_F(UpdaterTest, UnreadableFeedsAreReportedAsFailures)
{
    for (const QByteArray &body : {feed(item("300", "3.0")).left(80), feed(item("300", "3.0", {}, "undeclared"), ""),
                                   QByteArray("<html><body>Not here</body></html>"), feed(item("soon", "3.0")), QByteArray()}) {
        const auto shown = checkFeed(body);
        ASSERT_EQ(shown.size(), 1) << body.constData();
        EXPECT_TRUE(shown[0].startsWith("failed: The update feed ")) << qPrintable(shown[0]);
    }
}

TEST_F(UpdaterTest, AtMostOneMebibyteIsRead)
{
    // Exactly 1 MiB is read; one byte more is refused, announced or not.
    QByteArray exact = feed(item("201", "2.0.1")).replace("<channel>", "<!--  --><channel>");
    exact.insert(exact.indexOf("<!-- ") + 5, QByteArray(Updater::kMaxFeedBytes - exact.size(), 'x'));
    EXPECT_EQ(checkFeed(exact), newVersion("2.0.1"));
    for (bool withLength : {true, false}) {
        FeedServer server(FeedServer::answer(QByteArray(exact).prepend(' '), withLength));
        EXPECT_EQ(check(server.url()), failed("The update feed is larger than 1 MiB."));
    }
}

TEST_F(UpdaterTest, SilentSlowAbsentAndFailingServersEndTheCheck)
{
    FeedServer silent([](QTcpSocket *) {});
    EXPECT_EQ(check(silent.url(), true, 300ms), failed("The update server did not answer in time."));
    // Bytes that keep trickling in do not keep the check alive.
    FeedServer trickle([](QTcpSocket *s) {
        s->write("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n<");
        QObject::connect(new QTimer(s), &QTimer::timeout, s, [s] { s->write(" "); });
        s->findChild<QTimer *>()->start(20);
    });
    EXPECT_EQ(check(trickle.url(), true, 500ms), failed("The update server did not answer in time."));

    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    const QUrl refused(QStringLiteral("http://127.0.0.1:%1/appcast.xml").arg(closed.serverPort()));
    closed.close();
    EXPECT_EQ(check(refused), failed("Connection refused"));
    FeedServer missing(FeedServer::answer("gone", true, "404 Not Found"));
    EXPECT_EQ(check(missing.url()), failed("The update server answered 404 Not Found."));
}

TEST_F(UpdaterTest, TheStartUpCheckOnlySpeaksOfANewVersionAndLogsAFailureOnce)
{
    QStringList upToDate{"-"}, broken{"-"};
    EXPECT_EQ(standardErrorOf([&] { upToDate = checkFeed(feed(item("200", "2.0")), false); }), QByteArray());
    EXPECT_TRUE(upToDate.isEmpty());
    EXPECT_EQ(checkFeed(feed(item("201", "2.0.1")), false), newVersion("2.0.1"));
    const QByteArray log = standardErrorOf([&] { broken = checkFeed("<rss version=\"2.0\"><channel>", false); });
    EXPECT_TRUE(broken.isEmpty());
    EXPECT_EQ(log.count('\n'), 1) << log.constData();
    EXPECT_TRUE(log.contains("] Update check failed: The update feed is not valid XML")) << log.constData();

    // Check Now while the start-up check is under way gets that check's answer.
    FeedServer slow([](QTcpSocket *s) { QTimer::singleShot(200, s, [s] { FeedServer::answer(feed(item("200", "2.0")))(s); }); });
    RecordingDialogs dialogs;
    Updater updater(slow.url(), 200, dialogs);
    QSignalSpy finished(&updater, &Updater::checkFinished);
    updater.checkQuietlyAtStartup();
    updater.checkForUpdates(nullptr);
    ASSERT_TRUE(finished.wait(10000));
    EXPECT_EQ(dialogs.shown, QStringList{"up to date"});
}

TEST_F(UpdaterTest, TheBuiltConfiguratorNamesItsFeed)
{
    const auto built = Updater::readBundleSettings(QStringLiteral(CV_CONFIGURATOR_BUNDLE));
    // The build option's value; none by default.
    EXPECT_EQ(built.feedUrl, QUrl(QStringLiteral(CV_UPDATE_FEED)));
    EXPECT_GT(built.currentBuild, 0);
    EXPECT_EQ(check(Updater::readBundleSettings(QStringLiteral("/nonexistent")).feedUrl), failed("No update feed is configured."));
}

TEST_F(UpdaterTest, OnlyAWebAddressIsFetchedAsTheFeed)
{
    // A feed that would offer an update, were it ever read.
    cv::test::ScopedHome home;
    const QString local = home.file(QStringLiteral("appcast.xml"));
    ASSERT_TRUE(cv::test::writeFile(local, feed(item("900", "9.0"))));
    for (const QString &address : {QStringLiteral("file://localhost") + local, QStringLiteral("ftp://127.0.0.1/appcast.xml")}) {
        EXPECT_EQ(check(QUrl(address)), failed(QStringLiteral("The update feed address \"%1\" is not a web address.").arg(QUrl(address).toString())));
    }
}
