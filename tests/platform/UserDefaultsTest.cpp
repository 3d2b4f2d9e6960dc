#include "PropertyList.h"
#include "TestSupport.h"
#include "UserDefaults.h"

#include <gtest/gtest.h>

using cv::platform::UserDefaults;

TEST(UserDefaults, TypedValuesSurviveSynchronizeAndWrongTypesFallBack)
{
    cv::test::ScopedHome home;
    const QString path = home.file(QStringLiteral("Library/Preferences/d.plist"));
    {
        UserDefaults d(path);
        EXPECT_FALSE(d.hasKey(QStringLiteral("s")));
        d.setString(QStringLiteral("s"), QStringLiteral("100% sure\n"));
        d.setInteger(QStringLiteral("i"), -42);
        d.setBoolean(QStringLiteral("b"), true);
        d.setData(QStringLiteral("d"), QByteArray("\x00\x7f", 2));
        ASSERT_TRUE(d.synchronize()); // creates the Preferences folder
    }
    UserDefaults d(path);
    EXPECT_EQ(d.string(QStringLiteral("s")), QStringLiteral("100% sure\n"));
    EXPECT_EQ(d.integer(QStringLiteral("i")), -42);
    EXPECT_TRUE(d.boolean(QStringLiteral("b")));
    EXPECT_EQ(d.data(QStringLiteral("d")), QByteArray("\x00\x7f", 2));
    // Asking for the wrong type never crashes and gives the fallback.
    EXPECT_EQ(d.string(QStringLiteral("i"), QStringLiteral("fb")), QStringLiteral("fb"));
    EXPECT_EQ(d.integer(QStringLiteral("d"), 7), 7);
    EXPECT_TRUE(d.data(QStringLiteral("s")).isEmpty());
    d.remove(QStringLiteral("s"));
    ASSERT_TRUE(d.synchronize());
    EXPECT_FALSE(UserDefaults(path).hasKey(QStringLiteral("s")));
}

TEST(UserDefaults, AnotherProcessReadsWhatWasSavedAndItsKeysSurviveOurSave)
{
    cv::test::ScopedHome home;
    const QString path = home.file(QStringLiteral("prefs.plist"));
    UserDefaults mine(path);
    mine.setString(QStringLiteral("currentConfiguration"), QStringLiteral("Corvantis is configured"));
    ASSERT_TRUE(mine.synchronize());

    auto got = cv::test::runProgram(cv::test::testTool(), {QStringLiteral("defaults-get"), path, QStringLiteral("currentConfiguration")});
    EXPECT_EQ(got.exitCode, 0);
    EXPECT_EQ(got.out, QByteArray("Corvantis is configured"));

    // Someone else adds a key after we loaded; our next save keeps it.
    auto set = cv::test::runProgram(cv::test::testTool(), {QStringLiteral("defaults-set"), path, QStringLiteral("foreign"), QStringLiteral("kept")});
    ASSERT_EQ(set.exitCode, 0);
    mine.setInteger(QStringLiteral("counter"), 3);
    ASSERT_TRUE(mine.synchronize());
    UserDefaults reread(path);
    EXPECT_EQ(reread.string(QStringLiteral("foreign")), QStringLiteral("kept"));
    EXPECT_EQ(reread.integer(QStringLiteral("counter")), 3);
    EXPECT_EQ(reread.string(QStringLiteral("currentConfiguration")), QStringLiteral("Corvantis is configured"));
}

TEST(UserDefaults, CorruptFileReadsEmptyAndStaysUntilTheNextSave)
{
    cv::test::ScopedHome home;
    const QString path = home.file(QStringLiteral("broken.plist"));
    const QByteArray garbage("<?xml version=\"1.0\"?><plist><dict><key>a</key><str");
    ASSERT_TRUE(cv::test::writeFile(path, garbage));
    UserDefaults d(path);
    EXPECT_FALSE(d.hasKey(QStringLiteral("a")));
    EXPECT_EQ(cv::test::readFile(path), garbage);
    d.setBoolean(QStringLiteral("fresh"), false);
    ASSERT_TRUE(d.synchronize());
    auto saved = cv::platform::readDictionaryFile(path);
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ(saved->keys(), QStringList{QStringLiteral("fresh")});
}
