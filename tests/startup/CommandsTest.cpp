// Run Now's launcher, the mail links with the crontab listing, and the cron
// service probe.
#include "CronServiceProbe.h"
#include "EngineLauncher.h"
#include "MailLinks.h"
#include "ProcessTable.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>

#include <csignal>
#include <sys/stat.h>

using namespace cv::configurator;

namespace {

void makeApp(const QString &bundle, const QString &executable, const QByteArray &program, mode_t mode = 0755)
{
    const QString plist = QStringLiteral("<plist version=\"1.0\"><dict><key>CFBundleExecutable</key>"
                                         "<string>%1</string></dict></plist>").arg(executable);
    ASSERT_TRUE(cv::test::writeFile(bundle + QStringLiteral("/Contents/Info.plist"), plist.toUtf8()));
    if (!program.isNull()) {
        const QString path = bundle + QStringLiteral("/Contents/MacOS/") + executable;
        ASSERT_TRUE(cv::test::writeFile(path, program));
        ::chmod(QFile::encodeName(path).constData(), mode);
    }
}

// Polls: detached programs and killed ones finish in their own time.
template<typename Condition>
bool eventually(Condition condition)
{
    for (QDeadlineTimer deadline(5000); !deadline.hasExpired(); QThread::msleep(20)) {
        if (condition())
            return true;
    }
    return condition();
}

} // namespace

TEST(EngineLauncherTest, StartsTheBundleProgramOrSaysWhyNot)
{
    cv::test::ScopedHome home;
    const QString apps = home.file(QStringLiteral("apps/"));
    const QByteArray script = "#!/bin/sh\necho \"$#\" > \"$HOME/ran\"\n";
    makeApp(apps + QStringLiteral("Odd Name's.app"), QStringLiteral("Runner"), script);
    cv::platform::BundleEngineLauncher launcher;
    const cv::Result<qint64> started = launcher.launchApplication(apps + QStringLiteral("Odd Name's.app"));
    ASSERT_TRUE(started) << qPrintable(started.reason());
    const QString ran = home.file(QStringLiteral("ran"));
    ASSERT_TRUE(eventually([&] { return cv::test::readFile(ran) == "0\n"; })) << "started without arguments";
    QFile::remove(ran);

    ASSERT_TRUE(cv::test::writeFile(apps + QStringLiteral("garbled.app/Contents/Info.plist"), "not a property list"));
    makeApp(apps + QStringLiteral("nokey.app"), QString(), {});
    makeApp(apps + QStringLiteral("escape.app"), QStringLiteral("../../../../bin/true"), {});
    makeApp(apps + QStringLiteral("noprogram.app"), QStringLiteral("Engine"), {});
    makeApp(apps + QStringLiteral("notexec.app"), QStringLiteral("Engine"), script, 0644);
    makeApp(apps + QStringLiteral("badinterp.app"), QStringLiteral("Engine"), "#!/nonexistent/interpreter\n");
    const std::pair<const char *, const char *> cases[] = {
        {"missing.app", "no application"},    {"garbled.app", "cannot read"},
        {"nokey.app", "CFBundleExecutable"},  {"escape.app", "CFBundleExecutable"},
        {"noprogram.app", "is missing"},      {"notexec.app", "not executable"},
        {"badinterp.app", "could not be started"},
    };
    for (const auto &[name, reason] : cases) {
        const cv::Result<qint64> refused = launcher.launchApplication(apps + QLatin1String(name));
        EXPECT_FALSE(refused) << name;
        EXPECT_TRUE(refused.reason().contains(QLatin1String(reason))) << name << ": " << qPrintable(refused.reason());
    }
    QThread::msleep(200);
    EXPECT_FALSE(QFileInfo::exists(ran));
}

TEST(MailLinksTest, LinksAreEscapedButKeepTheirDelimiters)
{
    EXPECT_EQ(feedbackUrl().toEncoded(),
              "mailto:corvantis-support@tallowmere.example?subject=Corvantis%20Feedback"
              "&body=--Please%20add%20feedback%20here--%0A%0A%0ACorvantis%20Pro%20info:%0AVersion:2.0%0A");

    // Blanks, line feeds, quotes, "?", "&", "%", "#", a placeholder and text
    // beyond ASCII, as a hand-edited crontab holds them.
    const QString listing = QStringLiteral("# m h  dom mon dow   command\n"
                                           "30 2 * * 1,3 \"/home/a b/run\" ?x=1&y=2 50% %1 Gr\u00fc\u00dfe \u65e5\n");
    const QByteArray expected =
        "mailto:corvantis-support@tallowmere.example?subject=Corvantis%20Bug%20Report"
        "&body=--Please%20explain%20the%20circumstances%20of%20the%20bug%20here--%0A%0A%0A"
        "Corvantis%20Pro%20info:%0AVersion:%202.0%0ASchedule:%0A"
        "%23%20m%20h%20%20dom%20mon%20dow%20%20%20command%0A"
        "30%202%20*%20*%201,3%20%22/home/a%20b/run%22%20?x=1&y=2%2050%25%20%251%20Gr%C3%BC%C3%9Fe%20%E6%97%A5%0A";
    const QUrl url = bugReportUrl(listing);
    ASSERT_TRUE(url.isValid()) << qPrintable(url.errorString());
    EXPECT_EQ(url.toEncoded(), expected); // nothing escaped or decoded again
    EXPECT_FALSE(url.hasFragment());

    EXPECT_EQ(percentEscape(QStringLiteral("<>[]{}|\\^`\t\r'()!*~-_.;/?:@&=+$,")),
              "%3C%3E%5B%5D%7B%7D%7C%5C%5E%60%09%0D'()!*~-_.;/?:@&=+$,");
}

TEST(MailLinksTest, CrontabListingIsReadAndNeverHangs)
{
    cv::test::ScopedHome home;
    const QString listingFile = home.file(QStringLiteral("listing"));
    const QByteArray listing = "0 9 * * 1 \"/x y/CVEngine\" ?a&b \xc3\xa9t\xc3\xa9\n# last line\n";
    ASSERT_TRUE(cv::test::writeFile(listingFile, listing));
    qputenv("CV_LISTING_FILE", QFile::encodeName(listingFile));
    {
        cv::test::CapturedStderr log;
        EXPECT_EQ(readCrontabListing(QStringLiteral(CV_STANDIN_CRONTAB)), QString::fromUtf8(listing));
        EXPECT_TRUE(log.takeMessages().isEmpty());
    }

    // It prints, then never closes its output.
    const QString pidFile = home.file(QStringLiteral("sleeper.pid"));
    qputenv("CV_LISTING_HANG", QFile::encodeName(pidFile));
    {
        cv::test::CapturedStderr log;
        QElapsedTimer clock;
        clock.start();
        EXPECT_EQ(readCrontabListing(QStringLiteral(CV_STANDIN_CRONTAB), 1500), QString::fromUtf8(listing));
        EXPECT_LT(clock.elapsed(), 5000);
        const QStringList lines = log.takeMessages();
        ASSERT_EQ(lines.size(), 1);
        EXPECT_TRUE(lines[0].contains(QStringLiteral("gave no end"))) << qPrintable(lines[0]);
        // What it left running with our pipe open was stopped with it.
        const qint64 sleeper = cv::test::readFile(pidFile).trimmed().toLongLong();
        ASSERT_GT(sleeper, 0);
        if (!eventually([&] { return !cv::processes::isRunning(pid_t(sleeper)); })) {
            ADD_FAILURE() << "the listing's child still runs";
            ::kill(static_cast<pid_t>(sleeper), SIGKILL);
        }
    }
    qunsetenv("CV_LISTING_HANG");
    qunsetenv("CV_LISTING_FILE");

    cv::test::CapturedStderr log;
    EXPECT_TRUE(readCrontabListing(home.file(QStringLiteral("no-such-crontab"))).isEmpty());
    EXPECT_EQ(log.takeMessages().size(), 1);
}

TEST(CronServiceProbeTest, FindsTheServiceByPidFileOrProcessName)
{
    cv::test::ScopedHome home;
    const QString proc = home.file(QStringLiteral("proc/"));
    const auto process = [&](const char *pid, const QByteArray &comm) {
        return cv::test::writeFile(proc + QLatin1String(pid) + QStringLiteral("/comm"), comm);
    };
    ASSERT_TRUE(process("1", "init\n") && process("300", "anacron\n") && process("301", "cronx\n"));
    ASSERT_TRUE(process("self", "cron\n")); // not a process folder
    const QStringList pidFiles{home.file(QStringLiteral("run/crond.pid")), home.file(QStringLiteral("run/cron.pid"))};
    const auto running = [&] { return SystemCronServiceProbe(pidFiles, proc).cronServiceRunning(); };

    EXPECT_FALSE(running()) << "no cron at all";
    ASSERT_TRUE(cv::test::writeFile(pidFiles[0], "4242\n") && cv::test::writeFile(pidFiles[1], "garbage\n"));
    EXPECT_FALSE(running()) << "stale or garbled pid files";
    ASSERT_TRUE(process("4242", "whatever-it-is-called\n"));
    EXPECT_TRUE(running()) << "pid file of a live process";

    QFile::remove(pidFiles[0]);
    ASSERT_TRUE(process("512", "crond\n"));
    EXPECT_TRUE(running()) << "crond running";
    QDir(proc + QStringLiteral("512")).removeRecursively();
    ASSERT_TRUE(process("513", "cron\n"));
    EXPECT_TRUE(running()) << "cron running";
}
