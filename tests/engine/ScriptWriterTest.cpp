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
    const QString path = folder + QStringLiteral("corvantis.sh");
    EXPECT_EQ(cv::test::readFile(path), text.toUtf8()); // no byte-order mark, no added line ending
    EXPECT_EQ(::access(QFile::encodeName(path).constData(), X_OK), 0);
    EXPECT_FALSE(log.text().contains("Unsuccessful"));
    log.restore();

    const auto run = cv::test::runProgram(path, {});
    EXPECT_EQ(run.out, QStringLiteral("Sauvegarde réussie ✓\n").toUtf8());

    // A second run replaces the script entirely, a shorter one included.
    ASSERT_TRUE(TMShellScriptGenerator::generateShellScriptFromCommand(QStringLiteral("#!/bin/sh\n"),
                                                                       QStringLiteral("corvantis.sh"), folder));
    EXPECT_EQ(cv::test::readFile(path), QByteArray("#!/bin/sh\n"));
    EXPECT_EQ(::access(QFile::encodeName(path).constData(), X_OK), 0);
    // Nothing but the script is left behind in the folder.
    EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("corvantis.sh")});
}

TEST(ScriptWriter, MissingFolderIsLoggedAndReported)
{
    cv::test::ScopedHome home;
    const QString folder = home.path() + QStringLiteral("/no such folder/");
    cv::test::CapturedStderr log;
    EXPECT_FALSE(TMShellScriptGenerator::generateShellScriptFromCommand(QStringLiteral("#!/bin/sh\n"),
                                                                        QStringLiteral("corvantis.sh"), folder));
    const QByteArray lines = log.text();
    log.restore();
    EXPECT_TRUE(lines.contains("Make task Executable: Unsuccessful")) << lines.toStdString();
    EXPECT_FALSE(QFileInfo::exists(folder));
}

TEST(ScriptWriter, UnwritableTargetIsNotReportedAsWritten)
{
    cv::test::ScopedHome home;
    const QString folder = home.path() + QStringLiteral("/support/");
    // A folder in the script's place cannot be replaced by a file, yet chmod
    // on it succeeds: only the write tells that nothing runnable exists.
    QDir().mkpath(folder + QStringLiteral("corvantis.sh"));
    cv::test::CapturedStderr log;
    EXPECT_FALSE(TMShellScriptGenerator::generateShellScriptFromCommand(QStringLiteral("#!/bin/sh\n"),
                                                                        QStringLiteral("corvantis.sh"), folder));
    const QByteArray lines = log.text();
    log.restore();
    EXPECT_TRUE(lines.contains("corvantis.sh")) << lines.toStdString();
    EXPECT_TRUE(QFileInfo(folder + QStringLiteral("corvantis.sh")).isDir());
}
