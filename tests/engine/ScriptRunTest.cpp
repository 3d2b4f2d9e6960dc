// Runs generated scripts for real, with recording stand-ins for ditto and
// osascript first on PATH: whatever a destination or home holds, the copy
// must name exactly that folder, the destination check must find it and the
// marker must land in that home.
#include "AppController.h"
#include "EngineTestSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

using cv::engine::AppController;

namespace {

// Appends its own name, its arguments and END, each ended by a NUL byte, to
// "calls" beside itself.
const QByteArray kRecordingStandIn = "#!/bin/sh\nprintf '%s\\0' \"${0##*/}\" \"$@\" END >> \"${0%/*}/calls\"\n";

class ScriptRun : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QDir().mkpath(m_user + QStringLiteral("/Library/Application Support/Tallowmere/Corvantis"));
        for (const char *name : {"ditto", "osascript"}) {
            const QString path = m_bin + u'/' + QLatin1String(name);
            ASSERT_TRUE(cv::test::writeFile(path, kRecordingStandIn));
            QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        }
    }

    struct Outcome {
        QByteArray output;
        QList<QByteArrayList> calls; // stand-in name and arguments, in order
    };

    Outcome run(const QString &script)
    {
        // From a file, as the engine runs it: with -c the text itself would be
        // on the process table the script searches for clients.
        const QString path = m_home.file(QStringLiteral("script.sh"));
        EXPECT_TRUE(cv::test::writeFile(path, script.toUtf8()));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PATH"), m_bin + QStringLiteral(":/usr/bin:/bin"));
        // In the temporary home, so that whatever an injected command leaves
        // behind goes away with it.
        const auto result = cv::test::runProgram(QStringLiteral("/usr/bin/env"),
                                                 {QStringLiteral("-C"), m_home.path(), QStringLiteral("/bin/sh"), path},
                                                 env, 30000);
        EXPECT_FALSE(result.timedOut);
        Outcome outcome{result.out + result.err, {}};
        QByteArrayList current;
        for (const QByteArray &field : cv::test::readFile(m_bin + QStringLiteral("/calls")).split('\0')) {
            if (field != "END")
                current += field;
            else
                outcome.calls += std::exchange(current, {});
        }
        QFile::remove(m_bin + QStringLiteral("/calls"));
        return outcome;
    }

    QString build(const QString &destination, const QString &client, bool relaunch) const
    {
        cv::test::FixedHome home(m_user.toUtf8());
        QVariantMap config{{QStringLiteral("Destination"), destination}, {QStringLiteral("Client"), client}};
        if (relaunch)
            config.insert(QStringLiteral("Relaunch Client"), 1);
        const auto result = AppController::buildShellScript(config);
        EXPECT_TRUE(result.ok()) << result.problem.toStdString();
        return result.script;
    }

    QString marker() const
    {
        return m_user + QStringLiteral("/Library/Application Support/Tallowmere/Corvantis/lastbackup");
    }

    cv::test::ScopedHome m_home;
    const QString m_bin = m_home.file(QStringLiteral("bin"));
    // The home the scripts are built for: its name holds what shells trip over.
    const QString m_user = m_home.file(QStringLiteral("ho me \"$x\" `y` \\ 'z'\n!#~[é]"));
};

} // namespace

TEST_F(ScriptRun, EveryDestinationReachesDittoExactlyAndIsFound)
{
    // The script would wait for a running client to quit.
    if (cv::test::runProgram(QStringLiteral("/bin/ps"), {QStringLiteral("ax")}).out.contains("Thunderbird"))
        GTEST_SKIP() << "a process named Thunderbird runs";
    QStringList names = {QStringLiteral("Backup $(touch pwned)"), QStringLiteral("My \"Mail\""),
                         QStringLiteral("line\nfeed"), QStringLiteral("back\\slash"),
                         QStringLiteral("back\\ slash"), QStringLiteral("~tilde"), QStringLiteral("#hash"),
                         QStringLiteral("!bang"), QStringLiteral("[ab]"), QStringLiteral("{a,b}"),
                         QStringLiteral("it's"), QStringLiteral("`id`"), QStringLiteral(" lead and trail "),
                         QStringLiteral("*"), QStringLiteral("tab\there"), QStringLiteral("x'\n'y"),
                         QStringLiteral("Sauvegardes ā é 日本 😀"), QStringLiteral("-rf")};
    std::mt19937 random(7151);
    for (int i = 0; i < 100; ++i)
        names += cv::test::awkwardName(random);

    for (int i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(QStringLiteral("case %1: [%2]").arg(i).arg(names[i]).toStdString());
        const QString destination = m_home.path() + QStringLiteral("/d%1/").arg(i) + names[i];
        ASSERT_TRUE(QDir().mkpath(destination));
        QFile::remove(marker());
        const bool relaunch = i % 2 == 0;
        const Outcome outcome = run(build(destination, QStringLiteral("Thunderbird"), relaunch));
        EXPECT_TRUE(outcome.output.contains("Backup completed successfully.")) << outcome.output.toStdString();
        QList<QByteArrayList> expected{
            {"ditto", "-rsrc", (m_user + QStringLiteral("/Library/Thunderbird")).toUtf8(), destination.toUtf8()}};
        if (relaunch)
            expected += {"osascript", "-e", "tell application \"Thunderbird\"", "-e", "activate", "-e", "end tell"};
        EXPECT_EQ(outcome.calls, expected);
        EXPECT_TRUE(QFile::exists(marker()));
    }
    EXPECT_FALSE(QFile::exists(m_home.file(QStringLiteral("pwned"))));
}

TEST_F(ScriptRun, MailCopyNamesHomeAndDestinationExactly)
{
    // The Mail block alone: the whole Mail script waits on the process table.
    cv::test::FixedHome home(m_user.toUtf8());
    std::mt19937 random(99);
    for (int i = 0; i < 30; ++i) {
        const QByteArray destination = (m_home.path() + QStringLiteral("/m%1/").arg(i) + cv::test::awkwardName(random)).toUtf8();
        const Outcome outcome = run(QStringLiteral("errorCode=0\n")
                                    + AppController::shellScriptForMail(QString(), QString::fromUtf8(destination))
                                    + QStringLiteral("\necho \"code $errorCode\"\n"));
        EXPECT_TRUE(outcome.output.contains("code 0")) << outcome.output.toStdString();
        EXPECT_EQ(outcome.calls,
                  (QList<QByteArrayList>{{"ditto", "-rsrc", m_user.toUtf8() + "/Library/Mail", destination},
                                         {"ditto", "-rsrc", m_user.toUtf8() + "/Library/Preferences/com.apple.mail.plist",
                                          destination}}));
    }
}

TEST_F(ScriptRun, MissingDestinationCopiesNothingEvenWhenAPatternWouldMatch)
{
    QDir().mkpath(m_home.file(QStringLiteral("globs/ab")));
    for (const QString &pattern : {QStringLiteral("a*"), QStringLiteral("[a]b")}) {
        const Outcome outcome = run(build(m_home.file(QStringLiteral("globs/")) + pattern, QStringLiteral("Pegasus"), true));
        EXPECT_TRUE(outcome.output.contains("Backup failed. Destination not available.")) << pattern.toStdString();
        EXPECT_TRUE(outcome.calls.isEmpty());
        EXPECT_FALSE(QFile::exists(marker()));
    }
}
