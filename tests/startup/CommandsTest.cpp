// Run Now's launcher, the mail links with the crontab listing, and the cron
// service probe.
#include "CronServiceProbe.h"
#include "EngineLauncher.h"
#include "MailLinks.h"
#include "StartupTestSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <QUrlQuery>

#include <csignal>
#include <sys/stat.h>

using namespace cv::configurator;

namespace {

void makeApp(const QString &bundle, const QByteArray &plist, const QString &programName,
             const QByteArray &program, mode_t mode)
{
    if (!plist.isNull()) {
        ASSERT_TRUE(cv::test::writeFile(bundle + QStringLiteral("/Contents/Info.plist"), plist));
    }
    if (!program.isNull()) {
        const QString path = bundle + QStringLiteral("/Contents/MacOS/") + programName;
        ASSERT_TRUE(cv::test::writeFile(path, program));
        ::chmod(QFile::encodeName(path).constData(), mode);
    }
    QDir().mkpath(bundle);
}

QByteArray plistNaming(const QString &executable)
{
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                          "<key>CFBundleExecutable</key><string>%1</string></dict></plist>\n")
        .arg(executable)
        .toUtf8();
}

bool waitForFile(const QString &path, int ms = 10000)
{
    QDeadlineTimer deadline(ms);
    while (!QFileInfo::exists(path) && !deadline.hasExpired())
        QThread::msleep(20);
    QThread::msleep(50); // let the writer finish its line
    return QFileInfo::exists(path);
}

// A process that is gone or only waits to be reaped.
bool processStopped(qint64 pid)
{
    QDeadlineTimer deadline(3000);
    do {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            return true;
        const QByteArray text = stat.readAll();
        const qsizetype close = text.lastIndexOf(')');
        if (close >= 0 && text.mid(close + 2, 1) == "Z")
            return true;
        QThread::msleep(20);
    } while (!deadline.hasExpired());
    return false;
}

} // namespace

TEST(EngineLauncherTest, StartsTheBundleProgramDetachedWithoutArguments)
{
    cv::test::ScopedHome home;
    const QString bundle = home.file(QStringLiteral("Odd Name's.app"));
    const QString marker = home.file(QStringLiteral("launched"));
    makeApp(bundle, plistNaming(QStringLiteral("Runner")), QStringLiteral("Runner"),
            "#!/bin/sh\necho \"$#\" > \"$HOME/launched\"\n", 0755);
    BundleEngineLauncher launcher;
    QString whyNot;
    ASSERT_TRUE(launcher.launchApplication(bundle, whyNot)) << qPrintable(whyNot);
    ASSERT_TRUE(waitForFile(marker));
    EXPECT_EQ(cv::test::readFile(marker), "0\n");
}

TEST(EngineLauncherTest, SaysWhyABundleCannotBeStarted)
{
    cv::test::ScopedHome home;
    const QString base = home.file(QStringLiteral("apps/"));
    const QByteArray good = plistNaming(QStringLiteral("Engine"));
    const QByteArray script = "#!/bin/sh\ntouch \"$HOME/ran\"\n";
    makeApp(base + QStringLiteral("garbled.app"), "not a property list", QStringLiteral("Engine"), script, 0755);
    makeApp(base + QStringLiteral("noplist.app"), QByteArray(), QStringLiteral("Engine"), script, 0755);
    makeApp(base + QStringLiteral("nokey.app"),
            "<plist version=\"1.0\"><dict><key>CFBundleName</key><string>x</string></dict></plist>",
            QStringLiteral("Engine"), script, 0755);
    makeApp(base + QStringLiteral("escape.app"), plistNaming(QStringLiteral("../../../bin/true")), QString(), {}, 0);
    makeApp(base + QStringLiteral("noprogram.app"), good, QString(), {}, 0);
    makeApp(base + QStringLiteral("notexec.app"), good, QStringLiteral("Engine"), script, 0644);
    makeApp(base + QStringLiteral("badinterp.app"), good, QStringLiteral("Engine"),
            "#!/nonexistent/interpreter\n", 0755);
    QDir().mkpath(base + QStringLiteral("folder.app/Contents/MacOS/Engine"));
    ASSERT_TRUE(cv::test::writeFile(base + QStringLiteral("folder.app/Contents/Info.plist"), good));

    const std::pair<const char *, const char *> cases[] = {
        {"missing.app", "no application"}, {"garbled.app", "cannot read"},
        {"noplist.app", "cannot read"},     {"nokey.app", "CFBundleExecutable"},
        {"escape.app", "CFBundleExecutable"}, {"noprogram.app", "is missing"},
        {"folder.app", "is missing"},        {"notexec.app", "not executable"},
        {"badinterp.app", "could not be started"},
    };
    BundleEngineLauncher launcher;
    for (const auto &[name, reason] : cases) {
        QString whyNot;
        EXPECT_FALSE(launcher.launchApplication(base + QLatin1String(name), whyNot)) << name;
        EXPECT_TRUE(whyNot.contains(QLatin1String(reason))) << name << ": " << qPrintable(whyNot);
        EXPECT_FALSE(whyNot.contains(QLatin1Char('\n'))) << name;
    }
    QThread::msleep(200);
    EXPECT_FALSE(QFileInfo::exists(home.file(QStringLiteral("ran"))));
}

TEST(MailLinksTest, LinksAreEscapedButKeepTheirDelimiters)
{
    EXPECT_EQ(feedbackUrl().toEncoded(),
              "mailto:corvantis-support@tallowmere.example?subject=Corvantis%20Feedback"
              "&body=--Please%20add%20feedback%20here--%0A%0A%0ACorvantis%20Pro%20info:%0AVersion:2.0%0A");

    // Blanks, line feeds, quotes, "?", "&", "=", "%", "#", a placeholder and
    // text beyond ASCII, as a hand-edited crontab may hold them.
    const QString listing = QStringLiteral("# m h  dom mon dow   command\n"
                                           "30 2 * * 1,3 \"/home/a b/run\" ?x=1&y=2 50% %1 Gr\u00fc\u00dfe \u65e5\n");
    const QByteArray expected =
        "mailto:corvantis-support@tallowmere.example?subject=Corvantis%20Bug%20Report"
        "&body=--Please%20explain%20the%20circumstances%20of%20the%20bug%20here--%0A%0A%0A"
        "Corvantis%20Pro%20info:%0AVersion:%202.0%0ASchedule:%0A"
        "%23%20m%20h%20%20dom%20mon%20dow%20%20%20command%0A"
        "30%202%20*%20*%201,3%20%22/home/a%20b/run%22%20?x=1&y=2%2050%25%20%251%20"
        "Gr%C3%BC%C3%9Fe%20%E6%97%A5%0A";
    EXPECT_EQ(percentEscape(bugReportLinkText(listing)), expected);
    const QUrl url = bugReportUrl(listing);
    ASSERT_TRUE(url.isValid()) << qPrintable(url.errorString());
    EXPECT_EQ(url.toEncoded(), expected);
    EXPECT_EQ(url.scheme(), QStringLiteral("mailto"));
    EXPECT_FALSE(url.hasFragment());
    // The listing's own "&" starts a new field, as the link always did; what
    // comes before it reaches the body intact.
    EXPECT_TRUE(QUrlQuery(url).queryItemValue(QStringLiteral("body"), QUrl::FullyDecoded)
                    .endsWith(QStringLiteral("Schedule:\n# m h  dom mon dow   command\n30 2 * * 1,3 \"/home/a b/run\" ?x=1")));

    EXPECT_EQ(percentEscape(QStringLiteral("<>[]{}|\\^`\t\r'()!*~-_.;/?:@&=+$,")),
              "%3C%3E%5B%5D%7B%7D%7C%5C%5E%60%09%0D'()!*~-_.;/?:@&=+$,");
    EXPECT_EQ(homePageUrl().toEncoded(), "https://tallowmere.example/corvantis/");
    EXPECT_TRUE(bugReportUrl(QString()).toEncoded().endsWith("Schedule:%0A"));
}

TEST(MailLinksTest, CrontabListingIsReadAndNeverHangs)
{
    cv::test::ScopedHome home;
    const QString listingFile = home.file(QStringLiteral("listing"));
    const QByteArray listing = "0 9 * * 1 \"/x y/CVEngine\" ?a&b \xc3\xa9t\xc3\xa9\n# last line\n";
    ASSERT_TRUE(cv::test::writeFile(listingFile, listing));
    qputenv("CV_LISTING_FILE", QFile::encodeName(listingFile));

    {
        cv::test::CapturedLog log;
        EXPECT_EQ(readCrontabListing(QStringLiteral(CV_STANDIN_CRONTAB)), QString::fromUtf8(listing));
        EXPECT_TRUE(log.lines().isEmpty());
    }

    // A listing that prints, then never closes its output.
    const QString pidFile = home.file(QStringLiteral("sleeper.pid"));
    qputenv("CV_LISTING_HANG", QFile::encodeName(pidFile));
    {
        cv::test::CapturedLog log;
        QElapsedTimer clock;
        clock.start();
        EXPECT_EQ(readCrontabListing(QStringLiteral(CV_STANDIN_CRONTAB), 1500), QString::fromUtf8(listing));
        EXPECT_GE(clock.elapsed(), 1400);
        EXPECT_LT(clock.elapsed(), 5000);
        const QStringList lines = log.lines();
        ASSERT_EQ(lines.size(), 1);
        EXPECT_TRUE(lines[0].contains(QStringLiteral("gave no end"))) << qPrintable(lines[0]);
        // What it left running with our pipe open was stopped with it.
        const qint64 sleeper = cv::test::readFile(pidFile).trimmed().toLongLong();
        ASSERT_GT(sleeper, 0);
        EXPECT_TRUE(processStopped(sleeper));
        if (!processStopped(sleeper))
            ::kill(static_cast<pid_t>(sleeper), SIGKILL);
    }
    qunsetenv("CV_LISTING_HANG");
    qunsetenv("CV_LISTING_FILE");

    cv::test::CapturedLog log;
    EXPECT_TRUE(readCrontabListing(home.file(QStringLiteral("no-such-crontab"))).isEmpty());
    EXPECT_EQ(log.lines().size(), 1);
}

TEST(CronServiceProbeTest, FindsTheServiceByPidFileOrProcessName)
{
    cv::test::ScopedHome home;
    const QString proc = home.file(QStringLiteral("proc"));
    const auto process = [&](const char *pid, const QByteArray &comm) {
        ASSERT_TRUE(cv::test::writeFile(proc + QLatin1Char('/') + QLatin1String(pid) + QStringLiteral("/comm"), comm));
    };
    process("1", "init\n");
    process("300", "anacron\n");
    process("301", "cronx\n");
    ASSERT_TRUE(cv::test::writeFile(proc + QStringLiteral("/self/comm"), "cron\n")); // not a process folder
    const QString pidFile = home.file(QStringLiteral("run/crond.pid"));
    const QString otherPidFile = home.file(QStringLiteral("run/cron.pid"));
    const QStringList pidFiles{pidFile, otherPidFile};

    EXPECT_FALSE(SystemCronServiceProbe(pidFiles, proc).cronServiceRunning()) << "no cron at all";

    ASSERT_TRUE(cv::test::writeFile(pidFile, "4242\n"));
    EXPECT_FALSE(SystemCronServiceProbe(pidFiles, proc).cronServiceRunning()) << "stale pid file";
    ASSERT_TRUE(cv::test::writeFile(otherPidFile, "garbage\n"));
    EXPECT_FALSE(SystemCronServiceProbe(pidFiles, proc).cronServiceRunning()) << "unreadable pid";
    process("4242", "whatever-it-is-called\n");
    EXPECT_TRUE(SystemCronServiceProbe(pidFiles, proc).cronServiceRunning()) << "pid file of a live process";

    QFile::remove(pidFile);
    EXPECT_FALSE(SystemCronServiceProbe(pidFiles, proc).cronServiceRunning());
    process("512", "crond\n");
    EXPECT_TRUE(SystemCronServiceProbe(pidFiles, proc).cronServiceRunning()) << "crond running";
    QDir(proc + QStringLiteral("/512")).removeRecursively();
    process("513", "cron\n");
    EXPECT_TRUE(SystemCronServiceProbe({}, proc).cronServiceRunning()) << "cron running";

    // The real machine: whatever the answer, asking is safe.
    SystemCronServiceProbe().cronServiceRunning();
}
