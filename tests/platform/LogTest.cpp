#include "Log.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include <unistd.h>

TEST(Log, LinesAreAppendedWithStampNamePidAndTheMessageVerbatim)
{
    cv::test::ScopedHome home;
    const QString log = home.file(QStringLiteral("Library/Logs/test.log")); // the folder is made
    // Keep the test runner's own standard error.
    const int saved = ::dup(STDERR_FILENO);
    ASSERT_TRUE(cv::platform::reopenStandardError(log));
    const QString message = QStringLiteral("100% done %@ %s %n\nsecond line\tend");
    cv::platform::NSLog(message);
    // A folder in the way: refused, and standard error keeps working.
    ASSERT_TRUE(cv::test::writeFile(home.file(QStringLiteral("file")), "x"));
    EXPECT_FALSE(cv::platform::reopenStandardError(home.file(QStringLiteral("file/sub.log"))));
    cv::platform::NSLog(QStringLiteral("next"));
    ASSERT_TRUE(cv::platform::reopenStandardError(log)); // appends to what is there
    cv::platform::NSLog(QStringLiteral("last"));
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
    EXPECT_EQ(rest.mid(message.size() + 1 + second.capturedLength()).section(QLatin1Char('\n'), 0, 0), QStringLiteral("next"));
    EXPECT_TRUE(text.endsWith(QStringLiteral("] last\n"))) << text.toStdString();
}
