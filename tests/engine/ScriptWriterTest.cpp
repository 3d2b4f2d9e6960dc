// Writing the script file: exact bytes, executable, failures logged and
// reported.
#include "EngineTestSupport.h"
#include "TMShellScriptGenerator.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>

using cv::engine::TMShellScriptGenerator;

TEST(ScriptWriter, WritesExactBytesAndMakesTheFileExecutable)
{
    cv::test::ScopedHome home;
    const QString folder = home.path() + QStringLiteral("/Support (x) $y/");
    QDir().mkpath(folder);
    const QString text = QStringLiteral("#!/bin/sh\necho \"Sauvegarde réussie ✓\"\nexit 0");

    cv::test::CapturedStderr log;
    ASSERT_TRUE(TMShellScriptGenerator::generateShellScriptFromCommand(text, QStringLiteral("corvantis.sh"), folder));
    EXPECT_FALSE(log.take().contains("Unsuccessful"));
    const QString path = folder + QStringLiteral("corvantis.sh");
    EXPECT_EQ(cv::test::readFile(path), text.toUtf8()); // no byte-order mark, no added line ending
    EXPECT_EQ(::access(QFile::encodeName(path).constData(), X_OK), 0);

    // A second run replaces the script entirely, a shorter one included.
    ASSERT_TRUE(TMShellScriptGenerator::generateShellScriptFromCommand(QStringLiteral("#!/bin/sh\n"),
                                                                       QStringLiteral("corvantis.sh"), folder));
    EXPECT_EQ(cv::test::readFile(path), QByteArray("#!/bin/sh\n"));
    EXPECT_EQ(::access(QFile::encodeName(path).constData(), X_OK), 0);
    // Nothing but the script is left behind in the folder.
    EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("corvantis.sh")});
}

// Each failure is logged once, as what it is, and reported.
TEST(ScriptWriter, FailuresAreLoggedOnceAndReported)
{
    cv::test::ScopedHome home;
    // A folder in the script's place cannot be replaced by a file, yet chmod
    // on it succeeds: only the write tells that nothing runnable exists.
    const QString blocked = home.path() + QStringLiteral("/support/");
    QDir().mkpath(blocked + QStringLiteral("corvantis.sh"));
    const QString missing = home.path() + QStringLiteral("/no such folder/");
    struct Case {
        QString folder;
        QString chmod;
        QString line;
    };
    const Case cases[] = {
        {missing, QStringLiteral("/bin/chmod"), QStringLiteral("Could not write the script file")},
        {blocked, QStringLiteral("/bin/chmod"), QStringLiteral("Could not write the script file")},
    };
    for (const Case &c : cases) {
        cv::test::CapturedStderr log;
        const cv::Result<> written = TMShellScriptGenerator::generateShellScriptFromCommand(
            QStringLiteral("#!/bin/sh\n"), QStringLiteral("corvantis.sh"), c.folder, c.chmod);
        EXPECT_TRUE(written.reason().startsWith(c.line)) << written.reason().toStdString();
        const QStringList lines = log.takeMessages();
        ASSERT_EQ(lines.size(), 1) << lines.join(u'|').toStdString();
        EXPECT_TRUE(lines.first().startsWith(c.line)) << lines.first().toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(missing));
    EXPECT_TRUE(QFileInfo(blocked + QStringLiteral("corvantis.sh")).isDir());
}
