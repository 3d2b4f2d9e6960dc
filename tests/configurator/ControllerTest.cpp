#include "ConfiguratorTestSupport.h"

#include "Home.h"
#include "KAAttachedWindow.h"
#include "MyPrefsWindowController.h"
#include "PropertyList.h"
#include "UserDefaults.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>
#include <QTimeEdit>
#include <gtest/gtest.h>

#include <functional>
#include <sys/stat.h>
#include <unistd.h>

using namespace cv::test;

namespace {

const QString kMissingDestination = QStringLiteral("Configuration Error / Please select a destination for the backup.\n");
const QString kNotConfigured = QStringLiteral("Corvantis is currently not configured.");

void makeSupportFolders() { QDir().mkpath(cv::supportFolder()); }

QString status(const WindowFixture &f) { return f.find<QLabel>("currentConfiguration")->text(); }

cv::platform::UserDefaults storedDefaults() { return cv::platform::UserDefaults(cv::defaultsFilePath()); }

// A schedule a user could save: a destination, Monday and Thursday, 09:07.
void fillIn(WindowFixture &f)
{
    f.fillIn(f.home.file(QStringLiteral("backups")), {"mondayButton", "thursdayButton"}, QTime(9, 7));
}

int shownBubbles()
{
    int n = 0;
    for (QWidget *w : QApplication::topLevelWidgets())
        n += qobject_cast<KAAttachedWindow *>(w) && w->isVisible();
    return n;
}

} // namespace

TEST(ConfiguratorWindow, ValidationAlertsOrShowsTheDayBubble)
{
    WindowFixture f;
    f.window()->show();
    auto &c = *f.controller;

    for (const QString &missing : {QString(), QStringLiteral("No Destination Selected")}) {
        f.destination()->setText(missing);
        f.dialogs.alerts.clear();
        EXPECT_FALSE(c.checkSelections());
        EXPECT_EQ(f.dialogs.alerts, QStringList{kMissingDestination});
        EXPECT_EQ(c.dayBubble(), nullptr);
        // Ticking a day runs the same check.
        f.day("fridayButton")->click();
        EXPECT_EQ(f.dialogs.alerts.size(), 2);
        EXPECT_TRUE(c.isInSettingsChangedState());
        f.day("fridayButton")->click();
    }
    f.dialogs.alerts.clear();

    // Any other text counts as a destination, even a folder that is not there.
    f.destination()->setText(QStringLiteral("/nonexistent"));
    EXPECT_FALSE(c.checkSelections());
    EXPECT_TRUE(f.dialogs.alerts.isEmpty());
    ASSERT_NE(c.dayBubble(), nullptr);
    EXPECT_EQ(c.dayBubble()->parentWidget(), f.window());

    f.day("sundayButton")->click();
    EXPECT_EQ(c.dayBubble(), nullptr);
    EXPECT_TRUE(c.checkSelections());

    // Unticking the last day brings it back.
    f.day("sundayButton")->click();
    KAAttachedWindow *shown = c.dayBubble();
    EXPECT_NE(shown, nullptr);
    EXPECT_TRUE(f.dialogs.alerts.isEmpty());

    // Shown again: still one bubble; hidden twice: harmless; then shown anew.
    c.toggleNotificationWindow(true);
    EXPECT_EQ(c.dayBubble(), shown);
    EXPECT_EQ(shownBubbles(), 1);
    c.toggleNotificationWindow(false);
    c.toggleNotificationWindow(false);
    EXPECT_EQ(c.dayBubble(), nullptr);
    EXPECT_EQ(shownBubbles(), 0);
    c.toggleNotificationWindow(true);
    EXPECT_EQ(shownBubbles(), 1);
}

TEST(ConfiguratorWindow, StateAfterEachSaveAndRemoval)
{
    WindowFixture f;
    makeSupportFolders();
    CapturedStderr log;
    auto &c = *f.controller;
    c.awakeFromNib();
    // First start.
    EXPECT_EQ(status(f), QStringLiteral("Corvantis Pro is currently not configured."));
    EXPECT_TRUE(c.isInSettingsChangedState());
    EXPECT_EQ(f.find<QLabel>("lastBackup")->text(), QStringLiteral("Unknown"));

    fillIn(f);
    f.find<QCheckBox>("launchClientButton")->setChecked(true);
    c.save(nullptr);
    const QString line = QStringLiteral("7\t9\t*\t*\t1,4\t\"%1/Library/Application Support/Tallowmere/Corvantis/CVEngine.app/Contents/MacOS/CVEngine\"\n")
                             .arg(f.home.path());
    EXPECT_EQ(f.crontab(), line.toUtf8());
    EXPECT_EQ(status(f), QStringLiteral("Corvantis is currently configured to backup Thunderbird on Monday, Thursday at 09:07 AM"));
    EXPECT_FALSE(c.isInSettingsChangedState());
    {
        auto d = storedDefaults();
        EXPECT_TRUE(d.boolean(QStringLiteral("scheduled")));
        EXPECT_FALSE(d.boolean(QStringLiteral("RunNowOnly")));
        EXPECT_EQ(d.string(QStringLiteral("currentConfiguration")), status(f));
        EXPECT_EQ(d.integer(QStringLiteral("monday")), 1);
    }
    auto config = cv::platform::readDictionaryFile(cv::configFilePath());
    ASSERT_TRUE(config.has_value());
    EXPECT_EQ(config->value(QStringLiteral("Relaunch Client")), QVariant(qlonglong(1)));

    // Run Now only over the schedule: the line goes first.
    f.find<QCheckBox>("launchClientButton")->setChecked(false);
    c.enableSave(nullptr);
    c.saveAsRunNow(nullptr);
    EXPECT_EQ(f.crontab(), QByteArray());
    EXPECT_EQ(status(f), QStringLiteral("Corvantis is currently configured to backup Thunderbird on Run Now only."));
    EXPECT_FALSE(c.isInSettingsChangedState());
    config = cv::platform::readDictionaryFile(cv::configFilePath());
    ASSERT_TRUE(config.has_value());
    EXPECT_FALSE(config->contains(QStringLiteral("Relaunch Client")));
    {
        auto d = storedDefaults();
        EXPECT_TRUE(d.boolean(QStringLiteral("scheduled")));
        EXPECT_TRUE(d.boolean(QStringLiteral("RunNowOnly")));
    }
    const QStringList messages = log.takeMessages();
    const auto removed = messages.indexOf(QStringLiteral("Configuration removed."));
    ASSERT_GE(removed, 0);
    EXPECT_EQ(messages.mid(removed, 3), (QStringList{QStringLiteral("Configuration removed."), kNotConfigured,
                                                     QStringLiteral("Backup Schedule successfully saved for Run Now only")}));

    // Removal keeps the configuration file and "RunNowOnly".
    c.removeSchedule(nullptr);
    EXPECT_EQ(status(f), kNotConfigured);
    EXPECT_TRUE(c.isInSettingsChangedState());
    auto d = storedDefaults();
    EXPECT_FALSE(d.boolean(QStringLiteral("scheduled")));
    EXPECT_TRUE(d.boolean(QStringLiteral("RunNowOnly")));
    EXPECT_EQ(d.string(QStringLiteral("currentConfiguration")), kNotConfigured);
    EXPECT_TRUE(QFileInfo::exists(cv::configFilePath()));
    EXPECT_TRUE(f.dialogs.alerts.isEmpty()) << qPrintable(f.dialogs.alerts.join(QLatin1Char('\n')));
}

TEST(ConfiguratorWindow, ValidationFailuresWriteNothing)
{
    // Also for a Run-Now-only save.
    WindowFixture f;
    makeSupportFolders();
    f.destination()->setText(QStringLiteral("/tmp"));
    f.controller->saveAsRunNow(nullptr);
    f.destination()->clear();
    f.day("mondayButton")->setChecked(true);
    f.controller->save(nullptr);
    EXPECT_FALSE(QFileInfo::exists(cv::configFilePath()));
    EXPECT_FALSE(QFileInfo::exists(cv::defaultsFilePath()));
    EXPECT_EQ(f.crontab(), QByteArray());
}

namespace {

// What a failed save must leave on disk as it found it.
struct OnDisk {
    QByteArray crontab, config, settings;
    bool operator==(const OnDisk &) const = default;
};
OnDisk onDisk(const WindowFixture &f)
{
    return {f.crontab(), readFile(cv::configFilePath()), readFile(cv::defaultsFilePath())};
}
void folderInTheWay(const QString &path)
{
    QFile::remove(path);
    QDir().mkpath(path);
}

// The stand-in crontab, refusing every change once "refuse" is in its folder.
QString refusingCrontab(const QTemporaryDir &tools)
{
    const QString refusing = tools.filePath(QStringLiteral("crontab"));
    writeFile(refusing, QStringLiteral("#!/bin/sh\nif [ \"$1\" != -l ] && [ -e \"$CV_FAKE_CRONTAB_DIR/refuse\" ]; then\n"
                                       "  echo refused >&2; exit 1\nfi\nexec '%1' \"$@\"\n").arg(WindowFixture::fakeCrontab()).toUtf8());
    QFile::setPermissions(refusing, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return refusing;
}

} // namespace

// A schedule is saved; then something is in the way of each later save, Run
// Now only save and removal. Each alerts and changes nothing at all.
TEST(ConfiguratorWindow, AFailedSaveOrRemovalLeavesEverythingAsItWas)
{
    QTemporaryDir tools;
    const QString refusing = refusingCrontab(tools);
    const QString saveFailed = QStringLiteral("Scheduling Error / Unable to save settings.");
    const QString removeFailed = QStringLiteral("Scheduling Error / Unable to schedule backup.");
    const QString settingsFailed = QStringLiteral("Configuration Error / The settings could not be saved to \"{settings}\".");
    const QString configFailed = QStringLiteral("Configuration Error / The configuration could not be saved to \"{config}\".");
    const struct {
        const char *what;
        std::function<void(const WindowFixture &)> obstacle;
        QString save, runNowOnly, removal; // the alert each gets (its start); null: it succeeds
    } cases[] = {
        {"the crontab refuses", [](const WindowFixture &f) { writeFile(f.crontabFolder() + QStringLiteral("/refuse"), ""); },
         saveFailed, removeFailed, removeFailed},
        {"no scratch crontab file", [](const WindowFixture &) { folderInTheWay(cv::scratchCrontabPath()); },
         saveFailed, removeFailed, removeFailed},
        {"no settings file", [](const WindowFixture &) { folderInTheWay(cv::defaultsFilePath()); },
         settingsFailed, settingsFailed, settingsFailed},
        {"no configuration file", [](const WindowFixture &) { folderInTheWay(cv::configFilePath()); },
         configFailed, configFailed, QString()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        WindowFixture f(refusing);
        makeSupportFolders();
        f.controller->awakeFromNib();
        fillIn(f);
        f.controller->save(nullptr);
        ASSERT_TRUE(f.dialogs.alerts.isEmpty()) << qPrintable(f.dialogs.alerts.join(QLatin1Char('\n')));
        const QString saved = status(f);
        c.obstacle(f);
        f.find<QTimeEdit>("backupTime")->setTime(QTime(10, 30));
        const OnDisk before = onDisk(f);

        CapturedStderr log;
        const std::pair<std::function<void()>, QString> attempts[] = {
            {[&] { f.controller->save(nullptr); }, c.save},
            {[&] { f.controller->saveAsRunNow(nullptr); }, c.runNowOnly},
            {[&] { f.controller->removeSchedule(nullptr); }, c.removal},
        };
        for (const auto &[attempt, alert] : attempts) {
            if (alert.isNull())
                continue;
            f.dialogs.alerts.clear();
            attempt();
            ASSERT_EQ(f.dialogs.alerts.size(), 1) << qPrintable(f.dialogs.alerts.join(QLatin1Char('\n')));
            const QString expected = QString(alert).replace(QLatin1String("{settings}"), cv::defaultsFilePath())
                                         .replace(QLatin1String("{config}"), cv::configFilePath());
            EXPECT_TRUE(f.dialogs.alerts[0].startsWith(expected)) << qPrintable(f.dialogs.alerts[0]);
            EXPECT_TRUE(onDisk(f) == before);
            EXPECT_EQ(status(f), saved);
            EXPECT_TRUE(f.controller->isInSettingsChangedState());
        }
        const QStringList messages = log.takeMessages();
        for (const char *claim : {"Backup Schedule successfully saved.", "Backup Schedule successfully saved for Run Now only",
                                  "Configuration removed."})
            EXPECT_FALSE(messages.contains(QLatin1String(claim))) << claim;
    }
}

// The very first save, refused by the crontab: no settings file or
// configuration is left to make the engine think it was configured.
TEST(ConfiguratorWindow, ARefusedFirstSaveLeavesNoFileBehind)
{
    QTemporaryDir tools;
    WindowFixture f(refusingCrontab(tools));
    makeSupportFolders();
    f.controller->awakeFromNib();
    writeFile(f.crontabFolder() + QStringLiteral("/refuse"), "");
    fillIn(f);
    f.controller->save(nullptr);
    ASSERT_EQ(f.dialogs.alerts.size(), 1);
    EXPECT_FALSE(QFileInfo::exists(cv::defaultsFilePath()));
    EXPECT_FALSE(QFileInfo::exists(cv::configFilePath()));
}

TEST(ConfiguratorWindow, TheDestinationIsCheckedWhenSaving)
{
    WindowFixture f;
    makeSupportFolders();
    f.controller->awakeFromNib();
    fillIn(f);
    const QString file = f.home.file(QStringLiteral("notes.txt"));
    ASSERT_TRUE(writeFile(file, "not a folder"));
    const QString unplugged = f.home.file(QStringLiteral("unplugged"));
    const struct {
        QString typed;
        bool saveAnyway;
        QString saved; // null: refused or declined, nothing written
        int questions;
    } cases[] = {
        {QStringLiteral("/"), true, {}, 0},
        {QStringLiteral("//"), true, {}, 0},
        {file, true, {}, 0},
        {QStringLiteral("backups"), true, {}, 0},
        {unplugged, false, {}, 1},
        {unplugged, true, unplugged, 1},
        {QStringLiteral("~/backups"), false, f.home.file(QStringLiteral("backups")), 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(qPrintable(c.typed));
        f.dialogs.alerts.clear();
        f.dialogs.questions.clear();
        f.dialogs.saveAnyway = c.saveAnyway;
        f.destination()->setText(c.typed);
        f.controller->setDestination(nullptr);
        const QByteArray configBefore = readFile(cv::configFilePath());
        f.controller->save(nullptr);
        EXPECT_EQ(f.dialogs.questions.size(), c.questions);
        if (c.saved.isNull()) {
            EXPECT_EQ(readFile(cv::configFilePath()), configBefore);
            EXPECT_TRUE(f.controller->isInSettingsChangedState());
            if (c.questions == 0) {
                ASSERT_EQ(f.dialogs.alerts.size(), 1);
                EXPECT_TRUE(f.dialogs.alerts[0].startsWith(QStringLiteral("Configuration Error / "))) << qPrintable(f.dialogs.alerts[0]);
            }
            continue;
        }
        EXPECT_TRUE(f.dialogs.alerts.isEmpty()) << qPrintable(f.dialogs.alerts.join(QLatin1Char('\n')));
        EXPECT_EQ(f.destination()->text(), c.saved);
        const auto config = cv::platform::readDictionaryFile(cv::configFilePath());
        ASSERT_TRUE(config.has_value());
        EXPECT_EQ(config->value(QStringLiteral("Destination")).toString(), c.saved);
        EXPECT_EQ(storedDefaults().string(QStringLiteral("backupDestination")), c.saved);
    }
}

TEST(ConfiguratorWindow, SourceDestinationAndBrowse)
{
    WindowFixture f;
    auto &c = *f.controller;
    c.awakeFromNib();
    f.find<QPushButton>("saveButton")->setEnabled(false);
    // The same client or destination again is no edit.
    c.setSource(nullptr);
    c.setDestination(nullptr);
    EXPECT_FALSE(f.find<QPushButton>("saveButton")->isEnabled());

    f.dialogs.folderToChoose = QString();
    c.browseForDestination(nullptr);
    EXPECT_FALSE(f.find<QPushButton>("saveButton")->isEnabled());
    f.dialogs.folderToChoose = f.home.path();
    c.browseForDestination(nullptr);
    EXPECT_EQ(f.destination()->text(), f.home.path());
    EXPECT_TRUE(c.isInSettingsChangedState());
    // Stored at once, without a save.
    EXPECT_EQ(storedDefaults().string(QStringLiteral("backupDestination")), f.home.path());

    // Typing a letter and taking it back again is no edit; another edit in
    // between still counts.
    fillIn(f);
    c.save(nullptr);
    ASSERT_FALSE(c.isInSettingsChangedState());
    QLineEdit *field = f.destination();
    QTest::keyClick(field, Qt::Key_End);
    QTest::keyClick(field, Qt::Key_X);
    EXPECT_TRUE(c.isInSettingsChangedState());
    QTest::keyClick(field, Qt::Key_Backspace);
    EXPECT_FALSE(c.isInSettingsChangedState());
    QTest::keyClick(field, Qt::Key_X);
    f.find<QTimeEdit>("backupTime")->setTime(QTime(11, 0));
    QTest::keyClick(field, Qt::Key_Backspace);
    EXPECT_TRUE(c.isInSettingsChangedState());
}

// Alt+letter reaches exactly one thing: two owners of a letter made Alt+T
// tick Tuesday instead of opening the Tools menu.
TEST(ConfiguratorWindow, EveryMnemonicOfTheWindowIsItsOwn)
{
    WindowFixture f;
    std::map<QKeySequence, QStringList> owners;
    const auto note = [&](const QString &text) {
        if (const QKeySequence key = QKeySequence::mnemonic(text); !key.isEmpty())
            owners[key] << text;
    };
    for (QAction *menu : f.window()->menuBar()->actions())
        note(menu->text());
    for (QAbstractButton *button : f.window()->centralWidget()->findChildren<QAbstractButton *>())
        note(button->text());
    for (QLabel *label : f.window()->centralWidget()->findChildren<QLabel *>())
        if (label->buddy())
            note(label->text());
    EXPECT_GE(owners.size(), 15u);
    for (const auto &[key, texts] : owners)
        EXPECT_EQ(texts.size(), 1) << qPrintable(key.toString()) << ": " << qPrintable(texts.join(QStringLiteral(", ")));
}

TEST(ConfiguratorWindow, QuittingAsksAndRecordsTheStatus)
{
    WindowFixture f;
    makeSupportFolders();
    CapturedStderr log;
    f.window()->show();
    f.dialogs.quitAnswer = false;
    EXPECT_FALSE(f.window()->close());
    EXPECT_TRUE(f.window()->isVisible());
    f.dialogs.quitAnswer = true;
    EXPECT_TRUE(f.window()->close());
    EXPECT_EQ(f.dialogs.quitQuestions, 2);

    const struct {
        const char *before; // null: absent
        const char *after;
    } cases[] = {{nullptr, "Scheduled"}, {"Rescheduled", "Scheduled"}, {"Paused", "Paused"}};
    for (const auto &c : cases) {
        auto &d = f.controller->userDefaults();
        if (c.before)
            d.setString(QStringLiteral("scheduleStatus"), QLatin1String(c.before));
        else
            d.remove(QStringLiteral("scheduleStatus"));
        ASSERT_TRUE(d.synchronize());
        f.controller->applicationWillTerminate();
        EXPECT_EQ(storedDefaults().string(QStringLiteral("scheduleStatus")), QLatin1String(c.after));
    }
    EXPECT_TRUE(log.take().endsWith("Corvantis exited\n\n\n"));

    // The log viewer that cannot start gets the alert panel.
    f.workspace.answer = false;
    f.controller->displayLogWindow(nullptr);
    EXPECT_EQ(f.workspace.opened, QStringList{cv::logFilePath()});
    EXPECT_EQ(f.dialogs.alerts, QStringList{QStringLiteral("Corvantis / Could not open Console.app to open the log file. "
                                                           "View it manually at '~/Library/Logs/Corvantis.log'.")});
}

TEST(ConfiguratorStartup, FirstStartOnAnEmptyHome)
{
    WindowFixture f;
    f.cronProbe.running = false;
    CapturedStderr log;
    f.controller->awakeFromNib();

    const QStringList messages = log.takeMessages();
    const auto created = messages.indexOf(QStringLiteral("Created Tallowmere folder in users Application Support directory."));
    ASSERT_GE(created, 0) << qPrintable(messages.join(QLatin1Char('\n')));
    EXPECT_EQ(messages.mid(created + 1, 2), (QStringList{QStringLiteral("Created Corvantis folder in users Tallowmere directory."),
                                                         QStringLiteral("Moving Backup Engine")}));
    EXPECT_EQ(messages.last(), QStringLiteral("Corvantis launched"));
    EXPECT_EQ(messages.count(QStringLiteral("Scheduled backups will not start until the cron service runs.")), 1);
    EXPECT_FALSE(f.find<QLabel>("cronServiceLine")->isHidden());

    EXPECT_TRUE(QFileInfo(cv::installedEngineExecutablePath()).isExecutable());
    struct stat session {};
    ASSERT_EQ(::stat(QFile::encodeName(cv::sessionFilePath()).constData(), &session), 0);
    EXPECT_EQ(session.st_mode & 07777, 0600u);
    EXPECT_TRUE(f.controller->isInSettingsChangedState());
    EXPECT_EQ(status(f), QStringLiteral("Corvantis Pro is currently not configured."));

    // With the service running the note stays away.
    WindowFixture again;
    again.controller->awakeFromNib();
    EXPECT_TRUE(again.find<QLabel>("cronServiceLine")->isHidden());
}

TEST(ConfiguratorStartup, RepairsTheCrontabAndNoticesALostSchedule)
{
    const QString configured = QStringLiteral("Corvantis is currently configured to backup Eudora 6 on Sunday at 01:00 AM");
    for (bool runNowOnly : {false, true}) {
        WindowFixture f;
        f.setCrontab("1 2 * * * \"" + cv::supportFolder().toUtf8() + "corvantis.sh\"\n3 4 * * * mine corvantis.sh\n"
                     "# 5 6 * * * \"" + cv::installedEngineExecutablePath().toUtf8() + "\"\n");
        {
            auto d = storedDefaults();
            d.setString(QStringLiteral("currentConfiguration"), configured);
            d.setBoolean(QStringLiteral("scheduled"), true);
            d.setBoolean(QStringLiteral("RunNowOnly"), runNowOnly);
            ASSERT_TRUE(d.synchronize());
        }
        f.controller->awakeFromNib();
        EXPECT_EQ(f.crontab(), "\n3 4 * * * mine corvantis.sh\n# 5 6 * * * \"" + cv::installedEngineExecutablePath().toUtf8() + "\"\n");
        EXPECT_EQ(f.controller->crontab()->scriptName(), QStringLiteral("CVEngine.app"));
        EXPECT_EQ(status(f), runNowOnly ? configured : kNotConfigured);
        EXPECT_EQ(storedDefaults().boolean(QStringLiteral("scheduled")), runNowOnly);
        EXPECT_EQ(f.controller->isInSettingsChangedState(), !runNowOnly);
    }
}

TEST(ConfiguratorStartup, RunNowStartsTheInstalledEngineOrSaysWhyNot)
{
    WindowFixture f;
    // After a removal and a restart nothing is configured: no Run Now.
    ASSERT_TRUE(writeEngineSettings(kNotConfigured));
    f.controller->awakeFromNib();
    EXPECT_FALSE(f.find<QAction>("runNowMenuItem")->isEnabled());
    f.window()->show();
    f.controller->runNow(nullptr);
    EXPECT_EQ(f.launcher.launched, QStringList{cv::installedEnginePath()});
    EXPECT_TRUE(f.window()->isMinimized());
    EXPECT_TRUE(f.dialogs.alerts.isEmpty());

    // An engine that ends without a word still gives the window back.
    f.window()->showNormal();
    f.launcher.command = {QStringLiteral("/bin/sleep"), QStringLiteral("0.3")};
    f.controller->runNow(nullptr);
    EXPECT_TRUE(f.window()->isMinimized());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !f.window()->isMinimized(); }, 5000));

    f.launcher.refusal = QStringLiteral("no such engine");
    f.controller->runNow(nullptr);
    EXPECT_FALSE(f.window()->isMinimized());
    ASSERT_EQ(f.dialogs.alerts.size(), 1);
    EXPECT_TRUE(f.dialogs.alerts[0].contains(QStringLiteral("no such engine")));
}

TEST(ConfiguratorWindow, PreferencesPrepareTheirKeysOnceAndTheDateFormatTakesEffectAtOnce)
{
    WindowFixture f;
    QDir().mkpath(cv::supportFolder());
    ASSERT_TRUE(touchAt(cv::markerFilePath(), QDateTime(QDate(2026, 5, 12), QTime(14, 5))));
    f.controller->userDefaults().setBoolean(QStringLiteral("SUCheckAtStartup"), false);
    f.controller->awakeFromNib();
    QLabel *line = f.find<QLabel>("lastBackup");
    EXPECT_EQ(line->text(), QStringLiteral("05/12/2026 at 14:05")); // as the menu will show it

    f.controller->showPreferenceWindow(nullptr);
    auto stored = storedDefaults();
    EXPECT_EQ(stored.string(QStringLiteral("DateFormat")), QStringLiteral("MM/DD/YY with 24hr clock"));
    EXPECT_FALSE(stored.boolean(QStringLiteral("SUCheckAtStartup"), true)); // the user's choice stays

    auto *prefs = cv::configurator::windows::MyPrefsWindowController::sharedPrefsWindowController();
    auto *popup = prefs->generalPrefsView()->findChild<QComboBox *>(QStringLiteral("dateFormatPopUp"));
    ASSERT_NE(popup, nullptr);
    const int dayFirst24 = popup->findText(QStringLiteral("DD/MM/YY with 24hr clock"));
    popup->setCurrentIndex(dayFirst24);
    emit popup->activated(dayFirst24); // as a person's choice arrives
    EXPECT_EQ(line->text(), QStringLiteral("12/05/2026 at 14:05"));
    prefs->window()->close();
}

// A FIFO or a damaged file where the settings belong: start-up says so in the
// log (not on the terminal), goes on at once, and the next save writes a file.
TEST(ConfiguratorStartup, SettingsThatCannotBeReadAreLoggedAndNeverBlock)
{
    for (bool fifo : {true, false}) {
        SCOPED_TRACE(fifo ? "fifo" : "damaged");
        WindowFixture f;
        ASSERT_TRUE(QDir().mkpath(QFileInfo(cv::defaultsFilePath()).absolutePath()));
        if (fifo)
            ASSERT_EQ(::mkfifo(QFile::encodeName(cv::defaultsFilePath()).constData(), 0600), 0);
        else
            ASSERT_TRUE(writeFile(cv::defaultsFilePath(), "<plist><dict><key>currentConfiguration</key>"));
        f.services.redirectStandardError = true;
        const int terminal = ::dup(STDERR_FILENO);
        {
            CapturedStderr terminalOutput;
            f.rebuild();
            f.controller->awakeFromNib();
            ::fflush(stderr);
            ::dup2(terminal, STDERR_FILENO);
            EXPECT_EQ(terminalOutput.take(), QByteArray());
        }
        ::close(terminal);
        const QByteArray log = readFile(cv::logFilePath());
        EXPECT_TRUE(log.contains("Could not read the settings file '" + cv::defaultsFilePath().toUtf8())) << log.constData();
        EXPECT_EQ(status(f), QStringLiteral("Corvantis Pro is currently not configured."));

        fillIn(f);
        f.controller->save(nullptr);
        EXPECT_TRUE(f.dialogs.alerts.isEmpty()) << qPrintable(f.dialogs.alerts.join(QLatin1Char('\n')));
        EXPECT_TRUE(storedDefaults().boolean(QStringLiteral("scheduled")));
    }
}
