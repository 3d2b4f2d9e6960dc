#include "Log.h"
#include "PropertyList.h"
#include "TestSupport.h"
#include "UserDefaults.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

using cv::platform::UserDefaults;

namespace {

// A binary settings file holding a UID, which the store has no type for.
QByteArray binaryWithUid()
{
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "currentConfiguration", plist_new_string("Corvantis is set up"));
    plist_dict_set_item(dict, "archived", plist_new_uid(7));
    char *bin = nullptr;
    uint32_t len = 0;
    plist_to_bin(dict, &bin, &len);
    QByteArray out(bin, static_cast<qsizetype>(len));
    free(bin);
    plist_free(dict);
    return out;
}

QStringList setAside(const QString &path)
{
    const QFileInfo info(path);
    return QDir(info.absolutePath()).entryList({info.fileName() + QStringLiteral(".unreadable-*")}, QDir::Files, QDir::Name);
}

} // namespace

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

    // Someone else adds a key after we loaded, and changes the one we saved;
    // our next save keeps both of their values.
    for (const auto &[key, value] : {std::pair{"foreign", "kept"}, std::pair{"currentConfiguration", "changed elsewhere"}}) {
        auto set = cv::test::runProgram(cv::test::testTool(), {QStringLiteral("defaults-set"), path, QLatin1String(key), QLatin1String(value)});
        ASSERT_EQ(set.exitCode, 0);
    }
    mine.setInteger(QStringLiteral("counter"), 3);
    ASSERT_TRUE(mine.synchronize());
    UserDefaults reread(path);
    EXPECT_EQ(reread.string(QStringLiteral("foreign")), QStringLiteral("kept"));
    EXPECT_EQ(reread.integer(QStringLiteral("counter")), 3);
    EXPECT_EQ(reread.string(QStringLiteral("currentConfiguration")), QStringLiteral("changed elsewhere"));
    EXPECT_EQ(mine.string(QStringLiteral("currentConfiguration")), QStringLiteral("changed elsewhere"));
}

TEST(UserDefaults, UnreadableFileIsMovedAsideIntactBeforeTheSave)
{
    cv::test::ScopedHome home;
    QByteArray oversized = cv::platform::serializeXml({{QStringLiteral("big"), QStringLiteral("x")}});
    oversized.insert(oversized.lastIndexOf("</dict>"), QByteArray(cv::platform::kMaxPropertyListBytes, ' '));
    const QList<std::pair<const char *, QByteArray>> cases{
        {"damaged", "<?xml version=\"1.0\"?><plist><dict><key>a</key><str"},
        {"uid", binaryWithUid()},
        {"oversized", oversized},
        {"array root", "<plist version=\"1.0\"><array><string>x</string></array></plist>"},
    };
    for (const auto &[name, original] : cases) {
        SCOPED_TRACE(name);
        const QString path = home.file(QStringLiteral("Library/Preferences/%1.plist").arg(QLatin1String(name)));
        ASSERT_TRUE(cv::test::writeFile(path, original));
        UserDefaults d(path);
        d.setBoolean(QStringLiteral("fresh"), false);
        cv::test::CapturedStderr captured;
        EXPECT_TRUE(d.synchronize());
        const QByteArray log = captured.take();

        auto saved = cv::platform::readDictionaryFile(path);
        ASSERT_TRUE(saved.has_value());
        EXPECT_EQ(saved->keys(), QStringList{QStringLiteral("fresh")});
        const QStringList aside = setAside(path);
        ASSERT_EQ(aside.size(), 1);
        const QString asidePath = QFileInfo(path).absolutePath() + u'/' + aside[0];
        EXPECT_TRUE(QRegularExpression(QStringLiteral(R"(\.plist\.unreadable-\d{8}-\d{6}$)")).match(asidePath).hasMatch()) << aside[0].toStdString();
        EXPECT_EQ(cv::test::readFile(asidePath), original);
        EXPECT_EQ(log.count('\n'), 1) << log.constData();
        EXPECT_TRUE(log.contains(path.toUtf8()) && log.contains(asidePath.toUtf8())) << log.constData();

        // The file is readable now: the next save moves nothing.
        d.setBoolean(QStringLiteral("fresh"), true);
        ASSERT_TRUE(d.synchronize());
        EXPECT_EQ(setAside(path).size(), 1);
    }
}

TEST(UserDefaults, EveryRewrittenPropertyListKeepsWhatItCouldNotRead)
{
    // The configuration goes through the same writer as the settings.
    cv::test::ScopedHome home;
    const QString config = home.file(QStringLiteral("Config.plist"));
    const QVariantMap fresh{{QStringLiteral("Client"), QStringLiteral("Thunderbird")}};
    // Two damaged files within the same second keep both copies.
    for (const QByteArray &damaged : {QByteArray("first damaged copy"), QByteArray("second damaged copy")}) {
        ASSERT_TRUE(cv::test::writeFile(config, damaged));
        ASSERT_TRUE(cv::platform::writeDictionaryXmlAtomically(config, fresh));
        EXPECT_EQ(cv::platform::readDictionaryFile(config), fresh);
    }
    QByteArrayList kept;
    for (const QString &name : setAside(config))
        kept += cv::test::readFile(home.file(name));
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(kept, (QByteArrayList{"first damaged copy", "second damaged copy"}));

    // An empty file holds nothing to keep; a folder in the way is left alone.
    ASSERT_TRUE(cv::test::writeFile(config, {}));
    ASSERT_TRUE(cv::platform::writeDictionaryXmlAtomically(config, fresh));
    EXPECT_EQ(setAside(config).size(), 2);
    const QString folder = home.file(QStringLiteral("folder.plist"));
    ASSERT_TRUE(QDir().mkpath(folder));
    EXPECT_FALSE(cv::platform::writeDictionaryXmlAtomically(folder, fresh));
    EXPECT_TRUE(QFileInfo(folder).isDir());
}


TEST(UserDefaults, AFifoIsNeverWaitedOnAndAFailedWriteSaysWhy)
{
    cv::test::ScopedHome home;
    const QString fifo = home.file(QStringLiteral("fifo.plist"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    UserDefaults d(fifo);
    cv::test::CapturedStderr captured;
    d.reload();
    EXPECT_TRUE(captured.take().contains("Could not read the settings file"));
    d.setString(QStringLiteral("k"), QStringLiteral("v"));
    ASSERT_TRUE(d.synchronize());
    EXPECT_EQ(cv::platform::readDictionaryFile(fifo).value_or(QVariantMap()).value(QStringLiteral("k")), QStringLiteral("v"));

    const QString folder = home.file(QStringLiteral("folder.plist"));
    ASSERT_TRUE(QDir().mkpath(folder));
    UserDefaults blocked(folder);
    blocked.setString(QStringLiteral("k"), QStringLiteral("v"));
    EXPECT_FALSE(blocked.synchronize().reason().isEmpty());
}
