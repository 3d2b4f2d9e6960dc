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

const QByteArray kRecordingStandIn = "#!/bin/sh\n"
                                     "printf '%s\\0' \"$@\" END >> \"$CV_RECORD_DIR/$(basename \"$0\").calls\"\n";

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

    // The process table must not show a client the script would wait for.
    static bool processListMentions(const char *name)
    {
        return cv::test::runProgram(QStringLiteral("/bin/ps"), {QStringLiteral("ax")}).out.contains(name);
    }

    struct Outcome {
        QByteArray output;
        QList<QByteArrayList> ditto;     // one argument list per call
        QList<QByteArrayList> osascript; // one argument list per call
    };

    Outcome run(const QString &script)
    {
        const QString path = m_home.file(QStringLiteral("script.sh"));
        EXPECT_TRUE(cv::test::writeFile(path, script.toUtf8()));
        const auto syntax = cv::test::runProgram(QStringLiteral("/bin/sh"), {QStringLiteral("-n"), path});
        EXPECT_EQ(syntax.exitCode, 0) << syntax.err.toStdString();

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PATH"), m_bin + QStringLiteral(":/usr/bin:/bin"));
        env.insert(QStringLiteral("CV_RECORD_DIR"), m_bin);
        const auto result = cv::test::runProgram(QStringLiteral("/bin/sh"), {path}, env, 30000);
        EXPECT_FALSE(result.timedOut);
        return {result.out + result.err, calls(QStringLiteral("ditto")), calls(QStringLiteral("osascript"))};
    }

    // Reads and clears what a stand-in recorded.
    QList<QByteArrayList> calls(const QString &name) const
    {
        const QString record = m_bin + u'/' + name + QStringLiteral(".calls");
        QList<QByteArrayList> all;
        QByteArrayList current;
        for (const QByteArray &field : cv::test::readFile(record).split('\0')) {
            if (field != "END")
                current += field;
            else
                all += std::exchange(current, {});
        }
        QFile::remove(record);
        return all;
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
    if (processListMentions("Thunderbird"))
        GTEST_SKIP() << "a process named Thunderbird runs; the script would wait for it";
    const QString source = m_user + QStringLiteral("/Library/Thunderbird");

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

    int index = 0;
    for (const QString &name : std::as_const(names)) {
        SCOPED_TRACE(QStringLiteral("case %1: [%2]").arg(index).arg(name).toStdString());
        const QString destination = m_home.path() + QStringLiteral("/d%1/").arg(index++) + name;
        ASSERT_TRUE(QDir().mkpath(destination));
        QFile::remove(marker());

        const bool relaunch = index % 2 == 0;
        const Outcome outcome = run(build(destination, QStringLiteral("Thunderbird"), relaunch));
        EXPECT_TRUE(outcome.output.contains("Backup completed successfully.")) << outcome.output.toStdString();
        ASSERT_EQ(outcome.ditto.size(), 1);
        EXPECT_EQ(outcome.ditto[0], (QByteArrayList{"-rsrc", source.toUtf8(), destination.toUtf8()}));
        EXPECT_TRUE(QFile::exists(marker()));
        const QByteArrayList activate{"-e", "tell application \"Thunderbird\"", "-e", "activate", "-e", "end tell"};
        EXPECT_EQ(outcome.osascript, relaunch ? QList<QByteArrayList>{activate} : QList<QByteArrayList>{});
    }
    EXPECT_FALSE(QFile::exists(QStringLiteral("pwned")));
}

TEST_F(ScriptRun, MailCopyNamesHomeAndDestinationExactly)
{
    // The Mail block alone: the whole Mail script waits on the process table.
    std::mt19937 random(99);
    for (int i = 0; i < 30; ++i) {
        const QString destination = m_home.path() + QStringLiteral("/m%1/").arg(i) + cv::test::awkwardName(random);
        cv::test::FixedHome home(m_user.toUtf8());
        const QString script = QStringLiteral("#!/bin/sh\nerrorCode=0\n")
            + AppController::shellScriptForMail(QString(), destination) + QStringLiteral("\necho \"code $errorCode\"\n");
        const Outcome outcome = run(script);
        EXPECT_TRUE(outcome.output.contains("code 0")) << outcome.output.toStdString();
        ASSERT_EQ(outcome.ditto.size(), 2);
        EXPECT_EQ(outcome.ditto[0], (QByteArrayList{"-rsrc", (m_user + "/Library/Mail").toUtf8(), destination.toUtf8()}));
        EXPECT_EQ(outcome.ditto[1], (QByteArrayList{"-rsrc", (m_user + "/Library/Preferences/com.apple.mail.plist").toUtf8(),
                                                    destination.toUtf8()}));
    }
}

TEST_F(ScriptRun, MissingDestinationCopiesNothingEvenWhenAPatternWouldMatch)
{
    QDir().mkpath(m_home.file(QStringLiteral("globs/ab")));
    for (const QString &pattern : {QStringLiteral("a*"), QStringLiteral("[a]b")}) {
        QFile::remove(marker());
        const Outcome outcome = run(build(m_home.file(QStringLiteral("globs/")) + pattern, QStringLiteral("Pegasus"), true));
        EXPECT_TRUE(outcome.output.contains("Backup failed. Destination not available.")) << pattern.toStdString();
        EXPECT_TRUE(outcome.ditto.isEmpty());
        EXPECT_TRUE(outcome.osascript.isEmpty());
        EXPECT_FALSE(QFile::exists(marker()));
    }
}
