#include "DistributedNotificationCenter.h"
#include "Names.h"
#include "TestSupport.h"

#include <QProcess>
#include <gtest/gtest.h>

using namespace cv::platform;

TEST(Notifications, APostInOneProcessReachesAnObserverInAnother)
{
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        GTEST_SKIP() << "needs a private session bus (run under dbus-run-session)";
    const QString name = QString::fromUtf8(cv::names::kExecutionCompleteNotification);
    QProcess observer;
    observer.start(cv::test::testTool(), {QStringLiteral("observe"), name, QStringLiteral("10000")});
    ASSERT_TRUE(observer.waitForReadyRead(10000));
    ASSERT_EQ(observer.readLine().trimmed(), QByteArray("ready"));

    // An unrelated name on the same interface is not delivered as ours.
    DistributedNotificationCenter center;
    EXPECT_TRUE(center.postNotificationName(QStringLiteral("com.tallowmere.Corvantis.other")));
    auto posted = cv::test::runProgram(cv::test::testTool(), {QStringLiteral("post"), name});
    EXPECT_EQ(posted.exitCode, 0);
    ASSERT_TRUE(observer.waitForFinished(10000));
    EXPECT_EQ(observer.exitCode(), 0);
    EXPECT_EQ(observer.readAll().trimmed(), ("received " + name).toUtf8());
}

TEST(Notifications, PostingWithoutABusLogsAndGoesOn)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent/bus"));
    auto r = cv::test::runProgram(cv::test::testTool(),
                                  {QStringLiteral("post"), QString::fromUtf8(cv::names::kExecutionCompleteNotification)}, env);
    EXPECT_FALSE(r.crashed);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("no session bus is reachable")) << r.err.constData();
}
