// The Restore window and the "History" preferences pane, driven through
// their real widgets on the offscreen platform.
#include "HistoryPane.h"
#include "RealRuns.h"
#include "MyPrefsWindowController.h"
#include "RestoreWindow.h"
#include "UserDefaults.h"
#include "Workspace.h"
#include "ui_HistoryPane.h"
#include "ui_RestoreWindow.h"
#include "ui_VersionsDialog.h"

#include <gtest/gtest.h>

#include <QMainWindow>
#include <QTest>

using namespace cv::configurator::windows;
using cv::test::RealRuns;

namespace {

const QDateTime kStart(QDate(2026, 12, 8), QTime(9, 30), Qt::UTC);

class ScriptedDialogs : public RestoreDialogs
{
public:
    QString folder;
    QStringList summaries;
    QStringList problems;
    int confirmations = 0;
    QString chooseRestoreFolder(QWidget *, const QString &offered) override
    {
        EXPECT_TRUE(offered.contains(QLatin1String("/Restored Mail "))) << offered.toStdString();
        return folder;
    }
    bool confirmOriginalPlace(QWidget *, const QString &) override { return ++confirmations, true; }
    bool showSummary(QWidget *, const QString &message, bool offer) override
    {
        summaries.append(message);
        return offer;
    }
    void showProblem(QWidget *, const QString &title, const QString &message) override
    {
        problems.append(title + QStringLiteral(": ") + message);
    }
};

class RecordingWorkspace : public cv::platform::Workspace
{
public:
    QStringList opened;
    bool answers = true; // false: no file manager
    bool openFile(const QString &path) override { return opened.append(path), answers; }
    bool openURL(const QUrl &) override { return true; }
};

class RecordingQuitter : public cv::history::ClientQuitter
{
public:
    QStringList asked;
    std::function<void()> meanwhile; // what the user does while the client quits
    cv::Result<> quitAndWait(const QString &name) override
    {
        asked.append(name);
        if (meanwhile)
            meanwhile();
        return {};
    }
};

void clickRow(QAbstractItemView *view, const QModelIndex &index)
{
    view->scrollTo(index);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(index).center());
}

QModelIndex indexOfPath(QTreeWidget *tree, const QByteArray &path)
{
    for (QTreeWidgetItemIterator it(tree); *it; ++it)
        if ((*it)->data(0, Qt::UserRole + 1).toByteArray() == path)
            return tree->indexFromItem(*it);
    return {};
}

void waitForSearch(const RestoreWindow &window)
{
    QTest::qWait(RestoreWindow::kSearchPauseMs / 2);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window.searching(); }, 5000));
}

// Two runs of a Thunderbird profile: the Inbox was good before the second.
struct Profile {
    explicit Profile(const cv::test::ScopedHome &home)
        : runs(home.file(QStringLiteral("Source")), home.file(QStringLiteral("Backup")))
    {
        cv::test::writeFile(runs.source() + QStringLiteral("/Local Folders/Inbox"), "the good inbox");
        cv::test::writeFile(runs.source() + QStringLiteral("/Local Folders/Sent"), "sent mail");
        cv::test::writeFile(runs.source() + QStringLiteral("/prefs.js"), "prefs");
        runs.run(kStart);
        cv::test::writeFile(runs.source() + QStringLiteral("/Local Folders/Inbox"), "");
        cv::test::writeFile(runs.source() + QStringLiteral("/Local Folders/Inbox-Later"), "new");
        cv::test::writeFile(runs.source() + QStringLiteral("/prefs.js"), "prefs 2");
        runs.run(kStart.addSecs(3 * 3600 + 18 * 60));
    }
    RealRuns runs;
};

} // namespace

TEST(RestoreWindow, PickAPointSearchSelectAndRestore)
{
    const cv::test::ScopedTimeZone utc("UTC");
    cv::test::ScopedHome home;
    Profile profile(home);
    ScriptedDialogs dialogs;
    dialogs.folder = home.file(QStringLiteral("Restored"));
    RecordingWorkspace workspace;
    RecordingQuitter quitter;
    cv::history::ClientPlace place = *cv::history::ClientPlace::forClient(QStringLiteral("Thunderbird"), home.path());
    cv::test::writeFile(place.dataFolder + QStringLiteral("/Local Folders/Inbox"), "");

    QMainWindow main;
    main.setGeometry(50, 50, 700, 500); // on the offscreen 800 x 600 screen
    main.show();
    RestoreWindow window(dialogs, workspace, quitter, home.file(QStringLiteral("engine.lock")));
    window.window()->resize(640, 420);
    window.open({profile.runs.destination(), {}, place}, &main);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.window()));
    EXPECT_LE((window.window()->frameGeometry().center() - main.frameGeometry().center()).manhattanLength(), 4);
    Ui::RestoreWindow *ui = window.controls();

    ASSERT_EQ(ui->pointsList->count(), 2);
    EXPECT_EQ(ui->pointsList->item(0)->text(), QStringLiteral("Latest backup\nBackup of Tue 8 Dec, 12:48"));
    EXPECT_EQ(ui->pointsList->item(1)->text(), QStringLiteral("Backup of Tue 8 Dec, 09:30"));
    EXPECT_EQ(window.listedPaths(), (QList<QByteArray>{"Local Folders", "prefs.js"}));
    ui->backupTree->expandItem(ui->backupTree->topLevelItem(0)); // made when opened
    EXPECT_EQ(window.listedPaths().size(), 5);
    EXPECT_EQ(ui->statusLabel->text(), QStringLiteral("4 files"));
    EXPECT_FALSE(ui->restoreToButton->isEnabled());

    QTest::keyClicks(ui->searchField, QStringLiteral("INBOX"));
    waitForSearch(window);
    EXPECT_TRUE(window.listedPaths().contains("Local Folders/Inbox-Later"));
    EXPECT_EQ(ui->statusLabel->text(), QStringLiteral("2 of 4 files match")); // folders are not counted
    clickRow(ui->pointsList, ui->pointsList->model()->index(1, 0)); // before the second run
    waitForSearch(window);
    EXPECT_EQ(window.listedPaths(), (QList<QByteArray>{"Local Folders", "Local Folders/Inbox"}));
    clickRow(ui->backupTree, indexOfPath(ui->backupTree, "Local Folders/Inbox"));
    EXPECT_EQ(window.selectedPaths(), QList<QByteArray>{"Local Folders/Inbox"});
    ASSERT_TRUE(ui->restoreToButton->isEnabled());
    ASSERT_TRUE(ui->restoreOriginalButton->isVisible());

    QTest::qWait(50);
    EXPECT_TRUE(window.window()->grab().save(QStringLiteral(CV_BUILD_DIR "/restore_window.png")));

    QTest::mouseClick(ui->restoreToButton, Qt::LeftButton);
    EXPECT_EQ(cv::test::readFile(dialogs.folder + QStringLiteral("/Inbox")), "the good inbox");
    ASSERT_EQ(dialogs.summaries.size(), 1);
    EXPECT_TRUE(dialogs.summaries[0].startsWith(QLatin1String("1 file (14 bytes) restored to"))) << dialogs.summaries[0].toStdString();
    EXPECT_EQ(workspace.opened, QStringList{dialogs.folder});

    // Tools > Restore… again while the client quits: the window is only raised.
    RealRuns other(home.file(QStringLiteral("Source2")), home.file(QStringLiteral("Backup2")));
    cv::test::writeFile(other.source() + QStringLiteral("/elsewhere"), "x");
    other.run(kStart);
    quitter.meanwhile = [&] {
        // Said while it waits, with Cancel.
        EXPECT_EQ(ui->statusLabel->text(), QStringLiteral("Waiting for Thunderbird to quit…"));
        EXPECT_TRUE(ui->cancelButton->isVisible());
        window.open({other.destination(), {}, std::nullopt}, &main);
    };
    QTest::mouseClick(ui->restoreOriginalButton, Qt::LeftButton);
    EXPECT_EQ(dialogs.confirmations, 1);
    EXPECT_EQ(quitter.asked, QStringList{QStringLiteral("Thunderbird")});
    EXPECT_EQ(cv::test::readFile(place.dataFolder + QStringLiteral("/Local Folders/Inbox")), "the good inbox");
    EXPECT_EQ(QDir(place.dataFolder + QStringLiteral("/Local Folders")).entryList({QStringLiteral("Inbox.before-restore-*")}).size(), 1);
    EXPECT_TRUE(window.window()->windowTitle().contains(profile.runs.destination()));
    EXPECT_TRUE(dialogs.summaries.constLast().contains(place.dataFolder));

    // A run that ends brings its point into the list.
    cv::test::writeFile(profile.runs.source() + QStringLiteral("/prefs.js"), "prefs 3");
    profile.runs.run(kStart.addSecs(4 * 3600));
    EXPECT_TRUE(QTest::qWaitFor([&] { return ui->pointsList->count() == 3; }, 5000));

    // Every failure to show a folder is said, with its path.
    workspace.answers = false;
    QTest::mouseClick(ui->openBackupFolderButton, Qt::LeftButton);
    ASSERT_EQ(dialogs.problems.size(), 1);
    EXPECT_TRUE(dialogs.problems[0].contains(profile.runs.destination())) << dialogs.problems[0].toStdString();

    // The versions of one file, each with when it was backed up.
    ui->searchField->clear();
    waitForSearch(window);
    clickRow(ui->backupTree, indexOfPath(ui->backupTree, "prefs.js"));
    ASSERT_TRUE(ui->showVersionsButton->isEnabled());
    QTest::mouseClick(ui->showVersionsButton, Qt::LeftButton);
    ASSERT_TRUE(window.versionsDialog() && window.versionsDialog()->isVisible());
    QTreeWidget *versions = window.versionsControls()->versionsTree;
    ASSERT_EQ(versions->topLevelItemCount(), 3);
    EXPECT_EQ(versions->topLevelItem(2)->text(0), QStringLiteral("Backup of Tue 8 Dec, 09:30"));
    EXPECT_EQ(versions->topLevelItem(2)->text(1), QStringLiteral("5 bytes"));
    dialogs.folder = home.file(QStringLiteral("Versions"));
    versions->setCurrentItem(versions->topLevelItem(2));
    QTest::mouseClick(window.versionsControls()->restoreVersionButton, Qt::LeftButton);
    EXPECT_EQ(cv::test::readFile(dialogs.folder + QStringLiteral("/prefs.js")), "prefs");
    window.versionsDialog()->close();

    // Escape closes; opened again, the search typed before is gone.
    QTest::keyClicks(ui->searchField, QStringLiteral("Sent"));
    QApplication::setActiveWindow(window.window());
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.window()));
    QTest::keyClick(ui->searchField, Qt::Key_Escape);
    EXPECT_FALSE(window.window()->isVisible());
    window.open({profile.runs.destination(), {}, place}, &main);
    EXPECT_TRUE(ui->searchField->text().isEmpty());
    EXPECT_EQ(window.listedPaths(), (QList<QByteArray>{"Local Folders", "prefs.js"}));
    QApplication::setActiveWindow(window.window());
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.window()));
    QTest::keyClick(ui->backupTree, Qt::Key_W, Qt::ControlModifier);
    EXPECT_FALSE(window.window()->isVisible());
}

// A keystroke never holds the window: the search runs in slices after a pause.
TEST(RestoreWindow, SearchOverManyEntriesNeverBlocksTheWindow)
{
    cv::test::ScopedHome home;
    RealRuns runs(home.file(QStringLiteral("Source")), home.file(QStringLiteral("Backup")));
    QDir().mkpath(runs.source() + QStringLiteral("/Mail"));
    for (int f = 0; f < 20000; ++f)
        cv::test::writeBytes(QFile::encodeName(runs.source()) + "/Mail/msg" + QByteArray::number(f), "m");
    runs.run(kStart);
    ScriptedDialogs dialogs;
    RecordingWorkspace workspace;
    RecordingQuitter quitter;
    RestoreWindow window(dialogs, workspace, quitter, home.file(QStringLiteral("engine.lock")));
    window.open({runs.destination(), {}, std::nullopt});
    QElapsedTimer timer;
    qint64 longest = 0;
    // Gaps between the event loop's turns while the search runs.
    QTimer tick;
    tick.setInterval(0);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longest = std::max(longest, timer.restart());
    });
    timer.start();
    tick.start();
    for (const char c : QByteArray("msg1999"))
        QTest::keyClick(window.controls()->searchField, c);
    timer.restart();
    waitForSearch(window);
    tick.stop();
    EXPECT_LT(longest, 200) << "the window was held for " << longest << " ms";
    EXPECT_TRUE(window.controls()->statusLabel->text().startsWith(QLatin1String("11 of 20000 files match")))
        << window.controls()->statusLabel->text().toStdString();
}

TEST(RestoreWindow, HistoryPaneStoresHowLongAndWhether)
{
    cv::test::ScopedHome home;
    cv::platform::UserDefaults defaults(home.file(QStringLiteral("defaults.plist")));
    MyPrefsWindowController prefs;
    prefs.setDefaults(&defaults);
    prefs.showWindow(nullptr);
    EXPECT_EQ(prefs.toolbarIdentifiers(), (QStringList{QStringLiteral("General"), QStringLiteral("History"), QStringLiteral("Off-site")}));
    prefs.displayViewForIdentifier(QStringLiteral("History"), false);
    auto *pane = prefs.historyPane()->view();
    auto *popUp = pane->findChild<QComboBox *>(QStringLiteral("keepVersionsPopUp"));
    auto *box = pane->findChild<QCheckBox *>(QStringLiteral("versionsEnabledBox"));
    ASSERT_TRUE(popUp && box);
    EXPECT_EQ(popUp->currentText(), QStringLiteral("one month")); // nothing stored yet
    EXPECT_TRUE(box->isChecked());
    EXPECT_TRUE(prefs.window()->grab().save(QStringLiteral(CV_BUILD_DIR "/history_pane.png")));

    const std::pair<int, qlonglong> choices[] = {{2, 92}, {4, 0}, {0, 7}};
    for (const auto &[index, days] : choices) {
        popUp->setCurrentIndex(index);
        emit popUp->activated(index);
        EXPECT_EQ(cv::platform::UserDefaults(defaults.path()).integer(QStringLiteral("keepVersions"), -1), days);
    }
    QTest::mouseClick(box, Qt::LeftButton);
    EXPECT_FALSE(cv::platform::UserDefaults(defaults.path()).boolean(QStringLiteral("versionsEnabled"), true));
    EXPECT_FALSE(popUp->isEnabled());

    defaults.setInteger(QStringLiteral("keepVersions"), 45); // set by hand: shown as the next longer choice
    prefs.historyPane()->refreshControls();
    EXPECT_EQ(popUp->currentText(), QStringLiteral("three months"));
}
