// Runs generated scripts for real, with recording stand-ins for ditto and
// osascript first on PATH: whatever a destination or home holds, the copy
// must name exactly that folder and the destination check must find it.
#include "AppController.h"
#include "EngineTestSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

using cv::engine::AppController;

namespace {

const QByteArray kRecordingStandIn = "#!/bin/sh\n"
                                     "printf '%s\\0' \"$@\" >> \"$CV_RECORD_DIR/$(basename \"$0\")\"\n"
                                     "printf 'END\\0' >> \"$CV_RECORD_DIR/$(basename \"$0\")\"\n"
                                     "exit 0\n";

class ScriptRun : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_bin = m_home.file(QStringLiteral("bin"));
        m_records = m_home.file(QStringLiteral("records"));
        QDir().mkpath(m_records);
        for (const char *name : {"ditto", "osascript"}) {
            const QString path = m_bin + u'/' + QLatin1String(name);
            ASSERT_TRUE(cv::test::writeFile(path, kRecordingStandIn));
            QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        }
    }

    // The process table must not show a client the script would wait for.
    static bool processListMentions(const char *name)
    {
        const auto run = cv::test::runProgram(QStringLiteral("/bin/ps"), {QStringLiteral("ax")});
        return run.out.contains(name);
    }

    struct Outcome {
        QByteArray output;
        QList<QByteArrayList> ditto;     // one argument list per call
        QList<QByteArrayList> osascript; // one argument list per call
    };

    Outcome run(const QString &script)
    {
        for (const char *name : {"ditto", "osascript"})
            QFile::remove(m_records + u'/' + QLatin1String(name));
        const QString path = m_home.file(QStringLiteral("script.sh"));
        EXPECT_TRUE(cv::test::writeFile(path, script.toUtf8()));

        const auto syntax = cv::test::runProgram(QStringLiteral("/bin/sh"), {QStringLiteral("-n"), path});
        EXPECT_EQ(syntax.exitCode, 0) << syntax.err.toStdString();

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PATH"), m_bin + QStringLiteral(":/usr/bin:/bin"));
        env.insert(QStringLiteral("CV_RECORD_DIR"), m_records);
        const auto result = cv::test::runProgram(QStringLiteral("/bin/sh"), {path}, env, 30000);
        EXPECT_FALSE(result.timedOut);
        Outcome outcome;
        outcome.output = result.out + result.err;
        outcome.ditto = calls(QStringLiteral("ditto"));
        outcome.osascript = calls(QStringLiteral("osascript"));
        return outcome;
    }

    QList<QByteArrayList> calls(const QString &name) const
    {
        QList<QByteArrayList> all;
        QByteArrayList current;
        const QByteArray data = cv::test::readFile(m_records + u'/' + name);
        for (const QByteArray &field : data.split('\0')) {
            if (field == "END") {
                all += current;
                current.clear();
            } else {
                current += field;
            }
        }
        return all;
    }

    static QString build(const QString &destination, const QString &client, bool relaunch)
    {
        QVariantMap config{{QStringLiteral("Destination"), destination}, {QStringLiteral("Client"), client}};
        if (relaunch)
            config.insert(QStringLiteral("Relaunch Client"), 1);
        const auto result = AppController::buildShellScript(config);
        EXPECT_TRUE(result.ok()) << result.problem.toStdString();
        return result.script;
    }

    static QString markerIn(const QString &home)
    {
        return home + QStringLiteral("/Library/Application Support/Tallowmere/Corvantis/lastbackup");
    }

    cv::test::ScopedHome m_home;
    QString m_bin;
    QString m_records;
};

} // namespace

TEST_F(ScriptRun, EveryDestinationReachesDittoExactlyAndIsFound)
{
    if (processListMentions("Thunderbird"))
        GTEST_SKIP() << "a process named Thunderbird runs; the script would wait for it";
    QDir().mkpath(m_home.file(QStringLiteral("Library/Application Support/Tallowmere/Corvantis")));
    const QString source = m_home.path() + QStringLiteral("/Library/Thunderbird");

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
        QFile::remove(markerIn(m_home.path()));

        const bool relaunch = index % 2 == 0;
        const Outcome outcome = run(build(destination, QStringLiteral("Thunderbird"), relaunch));
        EXPECT_FALSE(outcome.output.contains("Destination not available")) << outcome.output.toStdString();
        EXPECT_TRUE(outcome.output.contains("Backup completed successfully.")) << outcome.output.toStdString();
        ASSERT_EQ(outcome.ditto.size(), 1);
        EXPECT_EQ(outcome.ditto[0], (QByteArrayList{"-rsrc", source.toUtf8(), destination.toUtf8()}));
        EXPECT_TRUE(QFile::exists(markerIn(m_home.path())));
        if (relaunch) {
            ASSERT_EQ(outcome.osascript.size(), 1);
            EXPECT_EQ(outcome.osascript[0], (QByteArrayList{"-e", "tell application \"Thunderbird\"", "-e",
                                                            "activate", "-e", "end tell"}));
        } else {
            EXPECT_TRUE(outcome.osascript.isEmpty());
        }
    }
    EXPECT_FALSE(QFile::exists(QStringLiteral("pwned")));
}

TEST_F(ScriptRun, MailCopyNamesHomeAndDestinationExactly)
{
    // The Mail block alone: the whole Mail script waits on the process table.
    std::mt19937 random(99);
    for (int i = 0; i < 30; ++i) {
        const QString destination = m_home.path() + QStringLiteral("/m%1/").arg(i) + cv::test::awkwardName(random);
        const QString script = QStringLiteral("#!/bin/sh\nerrorCode=0\n")
            + AppController::shellScriptForMail(QString(), destination) + QStringLiteral("\necho \"code $errorCode\"\n");
        const Outcome outcome = run(script);
        EXPECT_TRUE(outcome.output.contains("code 0")) << outcome.output.toStdString();
        const QByteArray home = m_home.path().toUtf8();
        ASSERT_EQ(outcome.ditto.size(), 2);
        EXPECT_EQ(outcome.ditto[0], (QByteArrayList{"-rsrc", home + "/Library/Mail", destination.toUtf8()}));
        EXPECT_EQ(outcome.ditto[1], (QByteArrayList{"-rsrc", home + "/Library/Preferences/com.apple.mail.plist",
                                                    destination.toUtf8()}));
    }
}

TEST_F(ScriptRun, HomeWithAwkwardCharactersIsCopiedAndTouchedExactly)
{
    if (processListMentions("Eudora"))
        GTEST_SKIP() << "a process named Eudora runs; the script would wait for it";
    const QString home = m_home.path() + QStringLiteral("/ho me \"$x\" `y` \\ 'z'\n!#~[é]");
    QDir().mkpath(home + QStringLiteral("/Library/Application Support/Tallowmere/Corvantis"));
    const QString destination = m_home.path() + QStringLiteral("/Backups");
    QDir().mkpath(destination);

    const QByteArray previous = qgetenv("HOME");
    qputenv("HOME", home.toUtf8());
    const QString script = build(destination, QStringLiteral("Eudora 6"), false);
    qputenv("HOME", previous);

    const Outcome outcome = run(script);
    EXPECT_TRUE(outcome.output.contains("Backup completed successfully.")) << outcome.output.toStdString();
    ASSERT_EQ(outcome.ditto.size(), 1);
    EXPECT_EQ(outcome.ditto[0], (QByteArrayList{"-rsrc", (home + QStringLiteral("/Documents/Eudora Folder")).toUtf8(),
                                                destination.toUtf8()}));
    EXPECT_TRUE(QFile::exists(markerIn(home)));
}

TEST_F(ScriptRun, MissingDestinationCopiesNothingEvenWhenAPatternWouldMatch)
{
    QDir().mkpath(m_home.file(QStringLiteral("globs/ab")));
    QDir().mkpath(m_home.file(QStringLiteral("Library/Application Support/Tallowmere/Corvantis")));
    for (const QString &pattern : {QStringLiteral("a*"), QStringLiteral("[a]b")}) {
        QFile::remove(markerIn(m_home.path()));
        const Outcome outcome = run(build(m_home.file(QStringLiteral("globs/")) + pattern, QStringLiteral("Pegasus"), true));
        EXPECT_TRUE(outcome.output.contains("Backup failed. Destination not available.")) << pattern.toStdString();
        EXPECT_TRUE(outcome.ditto.isEmpty());
        EXPECT_TRUE(outcome.osascript.isEmpty());
        EXPECT_FALSE(QFile::exists(markerIn(m_home.path())));
    }
}
