#include "Log.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include <unistd.h>

TEST(Log, LinesCarryStampNamePidAndTheMessageVerbatim)
{
    cv::test::ScopedHome home;
    const QString log = home.file(QStringLiteral("Library/Logs/test.log"));
    // Keep the test runner's own standard error.
    const int saved = ::dup(STDERR_FILENO);
    ASSERT_TRUE(cv::platform::reopenStandardError(log));
    const QString message = QStringLiteral("100% done %@ %s %n\nsecond line\tend");
    cv::platform::NSLog(message);
    cv::platform::NSLog(QStringLiteral("next"));
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);

    const QString text = QString::fromUtf8(cv::test::readFile(log));
    const QString name = QCoreApplication::applicationFilePath().section(QLatin1Char('/'), -1);
    const QRegularExpression prefix(QStringLiteral(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (\S+)\[(\d+):(\d+)\] )"));
    const auto m = prefix.match(text);
    ASSERT_TRUE(m.hasMatch()) << text.toStdString();
    EXPECT_EQ(m.captured(1), name.left(15)); // the kernel keeps 15 characters
    EXPECT_EQ(m.captured(2).toLongLong(), static_cast<long long>(::getpid()));
    const QString rest = text.mid(m.capturedLength());
    ASSERT_TRUE(rest.startsWith(message + QLatin1Char('\n')));
    const auto second = prefix.match(rest.mid(message.size() + 1));
    ASSERT_TRUE(second.hasMatch());
    EXPECT_EQ(second.captured(2), m.captured(2));
    EXPECT_EQ(rest.mid(message.size() + 1 + second.capturedLength()), QStringLiteral("next\n"));
}

TEST(Log, ReopenAppendsAndRefusesAnUnwritablePath)
{
    cv::test::ScopedHome home;
    const QString log = home.file(QStringLiteral("append.log"));
    ASSERT_TRUE(cv::test::writeFile(log, "earlier\n"));
    const int saved = ::dup(STDERR_FILENO);
    ASSERT_TRUE(cv::platform::reopenStandardError(log));
    cv::platform::NSLog(QStringLiteral("later"));
    // A folder in the way: refused, and standard error keeps working.
    ASSERT_TRUE(cv::test::writeFile(home.file(QStringLiteral("file")), "x"));
    EXPECT_FALSE(cv::platform::reopenStandardError(home.file(QStringLiteral("file/sub.log"))));
    cv::platform::NSLog(QStringLiteral("still here"));
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    const QByteArray text = cv::test::readFile(log);
    EXPECT_TRUE(text.startsWith("earlier\n"));
    EXPECT_TRUE(text.contains("later\n"));
    EXPECT_TRUE(text.endsWith("still here\n"));
}
