#include "Home.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

TEST(Home, TrailingSlashesGoAndTildeExpandsOnlyAtTheStart)
{
    cv::test::ScopedHome scoped;
    qputenv("HOME", "/home/some user///");
    EXPECT_EQ(cv::homeDirectory(), QStringLiteral("/home/some user"));
    EXPECT_EQ(cv::expandTilde(QStringLiteral("~")), QStringLiteral("/home/some user"));
    EXPECT_EQ(cv::expandTilde(QStringLiteral("~/Library/Logs/Corvantis.log")),
              QStringLiteral("/home/some user/Library/Logs/Corvantis.log"));
    EXPECT_EQ(cv::expandTilde(QStringLiteral("/tmp/~/x")), QStringLiteral("/tmp/~/x"));
    EXPECT_EQ(cv::expandTilde(QStringLiteral("~other/x")), QStringLiteral("~other/x"));
    EXPECT_EQ(cv::configFilePath(),
              QStringLiteral("/home/some user/Library/Application Support/Tallowmere/Corvantis/Config.plist"));
    EXPECT_EQ(cv::scratchCrontabPath(), QStringLiteral("/home/some user/Library/Application Support/Tallowmere/crontab"));
    // A home of "/" must not become "" or give "//" paths.
    qputenv("HOME", "/");
    EXPECT_EQ(cv::homeDirectory(), QStringLiteral("/"));
    EXPECT_EQ(cv::logFilePath(), QStringLiteral("/Library/Logs/Corvantis.log"));
}
