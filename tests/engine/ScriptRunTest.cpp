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
#include <QRegularExpression>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <spawn.h>
#include <sys/wait.h>

#include <functional>
#include <thread>

using cv::engine::AppController;

namespace {

// A temporary home with a folder of commands first on PATH, where scripts
// are built for a home of the test's choosing and run from a file, as the
// engine runs them: with -c the text itself would be on the process table
// the script searches for clients.
class ScriptFixture : public ::testing::Test
{
protected:
    static QString build(const QString &home, const QString &destination, const QString &client, bool relaunch)
    {
        cv::test::FixedHome fixed(home.toUtf8());
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

    // Output and errors. In the temporary home, so that whatever an injected
    // command leaves behind goes away with it.
    QByteArray runScript(const QString &script, QProcessEnvironment env = QProcessEnvironment::systemEnvironment())
    {
        const QString path = m_home.file(QStringLiteral("corvantis.sh"));
        EXPECT_TRUE(cv::test::writeFile(path, script.toUtf8()));
        env.insert(QStringLiteral("PATH"), m_bin + QStringLiteral(":/usr/bin:/bin"));
        const auto result = cv::test::runProgram(QStringLiteral("/usr/bin/env"),
                                                 {QStringLiteral("-C"), m_home.path(), QStringLiteral("/bin/sh"), path},
                                                 env, 60000);
        EXPECT_FALSE(result.timedOut);
        return result.out + result.err;
    }

    cv::test::ScopedHome m_home;
    const QString m_bin = m_home.file(QStringLiteral("bin"));
};

// Appends its own name, its arguments and END, each ended by a NUL byte, to
// "calls" beside itself.
const QByteArray kRecordingStandIn = "#!/bin/sh\nprintf '%s\\0' \"${0##*/}\" \"$@\" END >> \"${0%/*}/calls\"\n";

// Recording stand-ins for ditto and osascript, for a user whose home's name
// holds what shells trip over.
class ScriptRun : public ScriptFixture
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
        Outcome outcome{runScript(script), {}};
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
        return ScriptFixture::build(m_user, destination, client, relaunch);
    }
    QString marker() const { return markerIn(m_user); }

    const QString m_user = m_home.file(QStringLiteral("ho me \"$x\" `y` \\ 'z'\n!#~[é]"));
};

} // namespace

TEST_F(ScriptRun, EveryDestinationReachesDittoExactlyAndIsFound)
{
    // This platform's folder (the process table is the test program's own,
    // see TestMain.cpp, so no other test's Thunderbird is in the way).
    ASSERT_TRUE(QDir().mkpath(m_user + QStringLiteral("/.thunderbird")));
    const QStringList names = cv::test::awkwardSamples(7151, 100);
    for (int i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(QStringLiteral("case %1: [%2]").arg(i).arg(names[i]).toStdString());
        const QString destination = m_home.path() + QStringLiteral("/d%1/").arg(i) + names[i];
        ASSERT_TRUE(QDir().mkpath(destination));
        QFile::remove(marker());
        const bool relaunch = i % 2 == 0;
        const Outcome outcome = run(build(destination, QStringLiteral("Thunderbird"), relaunch));
        EXPECT_TRUE(outcome.output.contains("Backup completed successfully.")) << outcome.output.toStdString();
        QList<QByteArrayList> expected{
            {"ditto", "-rsrc", (m_user + QStringLiteral("/.thunderbird")).toUtf8(), destination.toUtf8()}};
        if (relaunch)
            expected += {"osascript", "-e", "tell application \"Thunderbird\"", "-e", "activate", "-e", "end tell"};
        EXPECT_EQ(outcome.calls, expected);
        EXPECT_TRUE(QFile::exists(marker()));
    }
    // A successful injection would have left its canary where the scripts ran.
    EXPECT_FALSE(QFile::exists(m_home.file(QStringLiteral("pwned"))));
}

// Of the platform's folders that exist, the one whose profile data was
// written most recently is copied; the order of preference (.thunderbird,
// snap, Flatpak) decides a tie; the classic folder, where it exists, wins.
TEST_F(ScriptRun, ThunderbirdFolderWrittenMostRecentlyThenInOrderOfPreference)
{
    const QString destination = m_home.file(QStringLiteral("dest"));
    QDir().mkpath(destination);
    const QString plain = m_user + QStringLiteral("/.thunderbird");
    const QString snap = m_user + QStringLiteral("/snap/thunderbird/common/.thunderbird");
    const QString flatpak = m_user + QStringLiteral("/.var/app/org.mozilla.Thunderbird/.thunderbird");
    const QString classic = m_user + QStringLiteral("/Library/Thunderbird");
    // Every entry of a profile folder written `daysAgo`, its prefs.js `fresh`
    // seconds later.
    const auto profile = [](const QString &folder, int daysAgo, int fresh = 0) {
        const QString prefs = folder + QStringLiteral("/p.default/prefs.js");
        if (!cv::test::writeFile(prefs, "prefs"))
            return false;
        const time_t when = 1700000000 - time_t(daysAgo) * 86400;
        for (const QString &path : {prefs, folder + QStringLiteral("/p.default"), folder}) {
            const timespec times[2] = {{0, UTIME_OMIT}, {path == prefs ? when + fresh : when, 0}};
            if (::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) != 0)
                return false;
        }
        return true;
    };
    struct Case {
        const char *name;
        std::function<bool()> prepare;
        QString copied;
    };
    const Case cases[] = {
        // A plain file is no profile folder.
        {"Flatpak alone", [&] { return cv::test::writeFile(plain, "not a folder") && profile(flatpak, 1); }, flatpak},
        {"a stale snap before it", [&] { return profile(snap, 300); }, flatpak},
        {"a deep file newer", [&] { return profile(snap, 300, 400 * 86400); }, snap},
        {"all written together", [&] {
             return QFile::remove(plain) && profile(plain, 5) && profile(snap, 5) && profile(flatpak, 5);
         }, plain},
        {"the classic folder", [&] { return QDir().mkpath(classic); }, classic},
    };
    for (const Case &c : cases) {
        ASSERT_TRUE(c.prepare()) << c.name;
        const Outcome outcome = run(build(destination, QStringLiteral("Thunderbird"), false));
        EXPECT_TRUE(outcome.output.contains("Backup completed successfully.")) << outcome.output.toStdString();
        EXPECT_EQ(outcome.calls, (QList<QByteArrayList>{{"ditto", "-rsrc", c.copied.toUtf8(), destination.toUtf8()}}))
            << c.name;
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

namespace {

// Thunderbird as it runs here, against our own ditto and osascript and a
// stand-in program named "thunderbird" that takes a while to quit.
class ThunderbirdHere : public ScriptFixture
{
protected:
    void SetUp() override
    {
        QDir().mkpath(m_destination);
        QDir().mkpath(m_home.file(QStringLiteral("Library/Application Support/Tallowmere/Corvantis")));
        // ditto says when the copy starts, in the script's output.
        const QByteArray ditto = "#!/bin/sh\necho \"copy starts at $(date +%s%N)\"\nexec '"
            + QByteArray(CV_COMPAT_BIN_DIR) + "/ditto' \"$@\"\n";
        ASSERT_TRUE(cv::test::writeFile(m_bin + QStringLiteral("/ditto"), ditto));
        QFile::setPermissions(m_bin + QStringLiteral("/ditto"), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        ASSERT_TRUE(QFile::link(QStringLiteral(CV_COMPAT_BIN_DIR "/osascript"), m_bin + QStringLiteral("/osascript")));
        ASSERT_TRUE(QFile::copy(QStringLiteral(CV_STANDIN_APP), m_program));
    }

    void TearDown() override
    {
        // A relaunched stand-in is nobody's child; it reported its id.
        if (const int relaunched = cv::test::readFile(m_relaunchReport).split(' ').value(0).toInt(); relaunched > 0)
            kill(relaunched, SIGKILL);
        for (const pid_t pid : std::as_const(m_started)) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    // The stand-in with these arguments, quitting `delayMs` after SIGTERM.
    pid_t startThunderbird(const QStringList &arguments, int delayMs)
    {
        std::vector<std::string> args{m_program.toStdString()};
        for (const QString &a : arguments)
            args.push_back(a.toStdString());
        std::vector<std::string> env{"CV_STANDIN_QUIT_DELAY_MS=" + std::to_string(delayMs),
                                     "CV_STANDIN_EXIT_LOG=" + m_exitLog.toStdString()};
        std::vector<char *> argv, envp;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        for (std::string &e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()), 0);
        m_started += pid;
        return pid;
    }

    QString build(bool relaunch) const
    {
        return ScriptFixture::build(m_home.path(), m_destination, QStringLiteral("Thunderbird"), relaunch);
    }

    QByteArray run(const QString &script)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("CV_STANDIN_REPORT"), m_relaunchReport);
        return runScript(script, env);
    }

    QString marker() const { return markerIn(m_home.path()); }

    const QString m_program = m_bin + QStringLiteral("/thunderbird");
    const QString m_destination = m_home.file(QStringLiteral("Backups"));
    const QString m_exitLog = m_home.file(QStringLiteral("exits"));
    const QString m_relaunchReport = m_home.file(QStringLiteral("relaunched"));
    QList<pid_t> m_started;
};

} // namespace

TEST_F(ThunderbirdHere, CopyStartsOnlyAfterTheMainProcessEndedThenItIsRelaunched)
{
    ASSERT_TRUE(cv::test::writeFile(m_home.file(QStringLiteral(".thunderbird/abc.default/prefs.js")), "prefs"));
    // The main process saves for a while; its content processes end at once.
    // Polled once a second, the content processes' end alone changes the count.
    const pid_t main = startThunderbird({}, 2500);
    for (int i = 0; i < 2; ++i)
        startThunderbird({QStringLiteral("-contentproc"), QStringLiteral("-childID"), QString::number(i + 1)}, 100);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    const QByteArray output = run(build(true));
    EXPECT_TRUE(output.contains("Backup completed successfully.")) << output.toStdString();
    EXPECT_EQ(cv::test::readFile(m_destination + QStringLiteral("/abc.default/prefs.js")), "prefs");
    EXPECT_TRUE(QFile::exists(marker()));

    const QRegularExpressionMatch copy = QRegularExpression(QStringLiteral("copy starts at (\\d+)")).match(QString::fromUtf8(output));
    ASSERT_TRUE(copy.hasMatch()) << output.toStdString();
    QMap<pid_t, qint64> exits;
    for (const QByteArray &line : cv::test::readFile(m_exitLog).split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() == 2)
            exits.insert(pid_t(fields[0].toInt()), fields[1].toLongLong());
    }
    ASSERT_TRUE(exits.contains(main)) << "Thunderbird still ran when the backup had ended";
    EXPECT_EQ(exits.size(), 3) << "every process is asked to quit";
    EXPECT_LT(exits.value(main), copy.captured(1).toLongLong()) << "the copy started while Thunderbird ran";

    // Relaunched through our osascript, from PATH, under its lower-case name.
    for (int i = 0; i < 250 && !QFile::exists(m_relaunchReport); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(QFile::exists(m_relaunchReport)) << "not relaunched";
}

TEST_F(ThunderbirdHere, WithoutAPlatformFolderTheClassicScriptStays)
{
    // Nothing at all (its text is among the golden ones): the classic script,
    // which fails as it always did.
    const QString classic = build(true);
    QByteArray output = run(build(false));
    EXPECT_TRUE(output.contains("Backup failed. Please see above error messages.")) << output.toStdString();
    EXPECT_FALSE(QFile::exists(marker()));

    // The classic folder wins over every platform folder, byte for byte.
    for (const char *folder : {"Library/Thunderbird", ".thunderbird", "snap/thunderbird/common/.thunderbird"})
        ASSERT_TRUE(QDir().mkpath(m_home.file(QLatin1String(folder))));
    EXPECT_EQ(build(true).toStdString(), classic.toStdString());
    output = run(build(false));
    EXPECT_TRUE(output.contains("Backup completed successfully.")) << output.toStdString();
}
