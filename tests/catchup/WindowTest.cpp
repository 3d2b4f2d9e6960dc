// The configurator's side of catching up: the login entry follows the saved
// schedule and the preference, and the main window warns about a failed run
// and about overdue backups.
#include "ConfiguratorTestSupport.h"
#include "Contrast.h"

#include "CatchUpEntry.h"
#include "Home.h"
#include "LastRun.h"
#include "Names.h"
#include "PropertyList.h"
#include "RunStatusText.h"
#include "UserDefaults.h"
#include "WarningLabel.h"

#include <QComboBox>
#include <QDeadlineTimer>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QTest>
#include <QTimeEdit>
#include <gtest/gtest.h>

#include <cmath>

using namespace cv::test;

namespace {

void saveMondayWednesdayFriday(WindowFixture &f, const QString &destination)
{
    f.fillIn(destination, {"mondayButton", "wednesdayButton", "fridayButton"}, QTime(21, 30));
    f.controller->save(nullptr);
}

} // namespace

TEST(CatchUpWindow, LoginEntryFollowsTheScheduleAndThePreference)
{
    WindowFixture f;
    QDir().mkpath(cv::supportFolder());
    // A config home of its own, with characters the entry must quote.
    const QString configHome = f.home.file(QStringLiteral("my $config \"dir\""));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome));
    f.controller->awakeFromNib();
    const QString entry = configHome + QStringLiteral("/autostart/com.tallowmere.Corvantis.CatchUp.desktop");
    EXPECT_EQ(cv::configurator::catchUpEntryPath(), entry);
    EXPECT_FALSE(QFileInfo::exists(entry)) << "nothing is scheduled yet";

    saveMondayWednesdayFriday(f, f.home.path());
    ASSERT_TRUE(f.dialogs.alerts.isEmpty()) << qPrintable(f.dialogs.alerts.join(QLatin1Char('\n')));
    ASSERT_TRUE(QFileInfo::exists(entry));
    const auto validate = runProgram(QStringLiteral("desktop-file-validate"), {entry});
    EXPECT_EQ(validate.exitCode, 0) << validate.out.constData() << validate.err.constData();
    EXPECT_TRUE(readFile(entry).contains("\nExec=\"" + QFile::encodeName(cv::homeDirectory())
                                         + "/Library/Application Support/Tallowmere/Corvantis/CVEngine.app/Contents/MacOS/CVAgent\"\n"))
        << readFile(entry).constData();

    EXPECT_EQ(f.agentStarter.started, 1) << "the save starts the agent: no login needed";

    f.controller->removeSchedule(nullptr);
    EXPECT_FALSE(QFileInfo::exists(entry));

    saveMondayWednesdayFriday(f, f.home.path());
    EXPECT_TRUE(QFileInfo::exists(entry));
    f.controller->saveAsRunNow(nullptr);
    EXPECT_FALSE(QFileInfo::exists(entry)) << "Run Now only needs no catching up";

    // The preference off: a saved schedule gets no entry.
    f.controller->userDefaults().setBoolean(QStringLiteral("CatchUpMissedBackups"), false);
    ASSERT_TRUE(f.controller->userDefaults().synchronize());
    saveMondayWednesdayFriday(f, f.home.path());
    EXPECT_FALSE(QFileInfo::exists(entry));
    EXPECT_EQ(f.agentStarter.started, 2);

    // An entry that cannot be written: the alert names it, the save stands,
    // and the window says that catch-up is off.
    f.controller->userDefaults().setBoolean(QStringLiteral("CatchUpMissedBackups"), true);
    ASSERT_TRUE(f.controller->userDefaults().synchronize());
    QDir().mkpath(entry + QStringLiteral("/in the way"));
    saveMondayWednesdayFriday(f, f.home.path());
    ASSERT_EQ(f.dialogs.alerts.size(), 1);
    EXPECT_TRUE(f.dialogs.alerts[0].startsWith(QStringLiteral("Configuration Error"))) << qPrintable(f.dialogs.alerts[0]);
    EXPECT_TRUE(f.dialogs.alerts[0].contains(entry)) << qPrintable(f.dialogs.alerts[0]);
    EXPECT_TRUE(f.crontab().contains("CVEngine")) << "the save stands";
    EXPECT_TRUE(f.find<cv::configurator::windows::WarningLabel>("runWarning")->fullText().contains(cv::configurator::catchUpOffLine()));
    EXPECT_EQ(f.agentStarter.started, 2);
    qunsetenv("XDG_CONFIG_HOME");
}

// Homes whose paths need the entry's escapes: the desktop's own parser
// (GLib's, as the session starts autostart entries) runs exactly that agent.
TEST(CatchUpWindow, TheDesktopRunsTheExactAgentWhateverTheHome)
{
    const QString python = QStringLiteral("/usr/bin/python3");
    const QString launch = QStringLiteral(
        "import sys, gi\n"
        "gi.require_version('Gio', '2.0')\n"
        "from gi.repository import Gio\n"
        "try:\n"
        "    info = Gio.DesktopAppInfo.new_from_filename(sys.argv[1])\n"
        "except TypeError:\n"
        "    sys.exit(3)\n"
        "sys.exit(0 if info.launch([], None) else 4)\n");
    if (runProgram(python, {QStringLiteral("-c"), QStringLiteral("import gi")}).exitCode != 0)
        GTEST_SKIP() << "needs python3-gi (scripts/install-deps.sh)";
    QTemporaryDir folder;
    const QString ran = folder.filePath(QStringLiteral("ran"));
    for (const char *odd : {"a%b", "a%%u", "a\\b", "a\"b", "a'b", "a$b", "a`b`", "a b", "a;b&c", "$(x)"}) {
        const QString home = folder.filePath(QString::fromUtf8(odd));
        const QString agent = home + QStringLiteral("/CVAgent");
        ASSERT_TRUE(writeFile(agent, "#!/bin/sh\nprintf '%s' \"$0\" > \"$RAN\"\n"));
        QFile::setPermissions(agent, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        const QString entry = folder.filePath(QStringLiteral("odd.desktop"));
        ASSERT_TRUE(writeFile(entry, cv::configurator::catchUpEntryText(agent).toUtf8()));
        const auto validate = runProgram(QStringLiteral("desktop-file-validate"), {entry});
        EXPECT_EQ(validate.exitCode, 0) << validate.out.constData() << readFile(entry).constData();

        QFile::remove(ran);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("RAN"), ran);
        const auto glib = runProgram(python, {QStringLiteral("-c"), launch, entry}, env);
        EXPECT_EQ(glib.exitCode, 0) << odd << ": refused\n" << readFile(entry).constData() << glib.err.constData();
        QDeadlineTimer deadline(5000);
        while (!QFileInfo::exists(ran) && !deadline.hasExpired())
            QThread::msleep(20);
        EXPECT_EQ(QFile::decodeName(readFile(ran)), agent) << odd;
    }
}

TEST(CatchUpWindow, FailedRunAndOverdueBackupsAreShown)
{
    WindowFixture f;
    QDir().mkpath(cv::supportFolder());
    cv::LastRun failed;
    failed.time = QDateTime::currentDateTime().addSecs(-3600);
    failed.reason = QStringLiteral("Backup failed. Destination not available.");
    ASSERT_TRUE(cv::platform::writeDictionaryXmlAtomically(cv::supportFolder() + QStringLiteral("lastrun.plist"),
                                                           failed.toDictionary()));
    touchAt(cv::markerFilePath(), QDateTime::currentDateTime().addDays(-2));

    f.controller->awakeFromNib();
    saveMondayWednesdayFriday(f, f.home.path());
    f.window()->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(f.window()));
    auto *warning = f.find<QLabel>("runWarning");
    ASSERT_NE(warning, nullptr);
    EXPECT_TRUE(warning->isVisible());
    EXPECT_TRUE(warning->text().startsWith(QStringLiteral("Last run failed on "))) << qPrintable(warning->text());
    EXPECT_TRUE(warning->text().endsWith(QStringLiteral(": Backup failed. Destination not available.")));
    EXPECT_NE(f.find<QLabel>("lastBackup")->text(), QStringLiteral("Unknown")) << "the last-backup line stays";

    QCoreApplication::processEvents();
    const QImage picture = f.window()->grab().toImage();
    EXPECT_TRUE(picture.save(QStringLiteral(CV_BUILD_DIR "/main_window_failed.png")));
    // Readable on the gradient wherever the line sits: the background just
    // left of the text, on every row of the label.
    const QRect area(warning->mapTo(f.window(), QPoint(0, 0)), warning->size());
    for (int y = area.top(); y <= area.bottom(); ++y) {
        const QColor background = picture.pixelColor(std::max(1, area.left() - 3), y);
        EXPECT_GE(cv::test::contrast(cv::configurator::kWarningTextColor, background), 4.5) << "row " << y;
    }

    // The last run succeeded, but a week ago: overdue for three days a week.
    cv::LastRun succeeded;
    succeeded.time = QDateTime::currentDateTime().addDays(-7);
    succeeded.succeeded = true;
    ASSERT_TRUE(cv::platform::writeDictionaryXmlAtomically(cv::supportFolder() + QStringLiteral("lastrun.plist"),
                                                           succeeded.toDictionary()));
    touchAt(cv::markerFilePath(), succeeded.time);
    f.controller->executionComplete();
    EXPECT_EQ(warning->text(), QStringLiteral("Backups are overdue."));
    EXPECT_TRUE(warning->isVisible());
    touchAt(cv::markerFilePath(), QDateTime::currentDateTime().addDays(-1));
    f.controller->executionComplete();
    EXPECT_FALSE(warning->isVisible());
}

// Saving a schedule whose time passed earlier today sets off no catch-up:
// cron never had that time. Saving it again unchanged leaves a real miss
// to be caught up.
TEST(CatchUpWindow, ATimeBeforeTheSaveIsNotAMissedOne)
{
    WindowFixture f;
    QDir().mkpath(cv::supportFolder());
    f.controller->awakeFromNib();
    const QString attempt = cv::supportFolder() + QLatin1String(cv::names::kCatchUpAttemptFileName);
    const QDateTime now = QDateTime::currentDateTime();
    const QTime passed = now.time().addSecs(-2 * 3600);
    f.fillIn(f.home.path(), {"sundayButton", "mondayButton", "tuesdayButton", "wednesdayButton", "thursdayButton",
                             "fridayButton", "saturdayButton"}, QTime(passed.hour(), passed.minute()));
    f.controller->save(nullptr);
    ASSERT_TRUE(f.dialogs.alerts.isEmpty()) << qPrintable(f.dialogs.alerts.join(QLatin1Char('\n')));

    const auto settings = cv::platform::readDictionaryFile(cv::defaultsFilePath());
    ASSERT_TRUE(settings);
    const auto decision = cv::catchup::decide(cv::catchup::savedScheduleFrom(*settings), now.addSecs(3600),
                                              std::nullopt, cv::catchup::readAttempt(attempt));
    EXPECT_EQ(decision.verdict, cv::catchup::Verdict::AlreadyAttempted);

    QFile::remove(attempt);
    f.controller->enableSave(nullptr);
    f.controller->save(nullptr);
    EXPECT_FALSE(QFileInfo::exists(attempt)) << "the same schedule again: its time may really have been missed";
}
