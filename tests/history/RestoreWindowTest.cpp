// The Restore window and the "History" preferences pane, driven through
// their real widgets on the offscreen platform.
#include "HistoryPane.h"
#include "HistoryTestSupport.h"
#include "MyPrefsWindowController.h"
#include "RestoreWindow.h"
#include "UserDefaults.h"
#include "Workspace.h"
#include "ui_HistoryPane.h"
#include "ui_RestoreWindow.h"

#include <gtest/gtest.h>

#include <QMainWindow>
#include <QTest>

using namespace cv::configurator::windows;
using cv::test::BackupOnDisk;

namespace {

const QString kRun1 = QStringLiteral("2026-11-02-090000");
const QString kRun2 = QStringLiteral("2026-11-09-090000");

class ScriptedDialogs : public RestoreDialogs
{
public:
    QString folder;
    QStringList summaries;
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
    void showProblem(QWidget *, const QString &, const QString &message) override { ADD_FAILURE() << message.toStdString(); }
};

class RecordingWorkspace : public cv::platform::Workspace
{
public:
    QStringList opened;
    bool openFile(const QString &path) override { return opened.append(path), true; }
    bool openURL(const QUrl &) override { return true; }
};

class RecordingQuitter : public cv::history::ClientQuitter
{
public:
    QStringList asked;
    bool quitAndWait(const QString &name, QString &) override { return asked.append(name), true; }
};

void clickRow(QAbstractItemView *view, const QModelIndex &index)
{
    view->scrollTo(index);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(index).center());
}

QModelIndex indexOfPath(QTreeWidget *tree, const QString &path)
{
    for (QTreeWidgetItemIterator it(tree); *it; ++it)
        if ((*it)->data(0, Qt::UserRole + 1).toString() == path)
            return tree->indexFromItem(*it);
    return {};
}

} // namespace

TEST(RestoreWindow, PickAPointSearchSelectAndRestore)
{
    cv::test::ScopedHome home;
    BackupOnDisk disk(home.file(QStringLiteral("Backup")));
    disk.put(QStringLiteral("Local Folders/Inbox"), "the good inbox");
    disk.put(QStringLiteral("Local Folders/Sent"), "sent mail");
    disk.put(QStringLiteral("prefs.js"), "prefs");
    disk.replace(kRun1, QStringLiteral("Local Folders/Inbox"), "");
    disk.create(kRun2, QStringLiteral("Local Folders/Inbox-Later"), "new");
    disk.replace(kRun2, QStringLiteral("prefs.js"), "prefs 2");

    ScriptedDialogs dialogs;
    dialogs.folder = home.file(QStringLiteral("Restored"));
    RecordingWorkspace workspace;
    RecordingQuitter quitter;
    cv::history::ClientPlace place = *cv::history::ClientPlace::forClient(QStringLiteral("Thunderbird"), home.path());
    cv::test::writeFile(place.dataFolder + QStringLiteral("/Local Folders/Inbox"), "");

    RestoreWindow window(dialogs, workspace, quitter);
    window.setSource({disk.mirror({}), QDateTime(QDate(2026, 11, 16), QTime(9, 1)), place});
    window.window()->resize(860, 520);
    window.showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.window()));
    Ui::RestoreWindow *ui = window.controls();

    ASSERT_EQ(ui->pointsList->count(), 3);
    EXPECT_TRUE(ui->pointsList->item(0)->text().startsWith(QLatin1String("Latest backup\n")));
    EXPECT_TRUE(ui->pointsList->item(2)->text().endsWith(QLatin1String("1 file, 14 bytes kept")));
    EXPECT_EQ(window.listedPaths(), (QStringList{QStringLiteral("Local Folders"), QStringLiteral("prefs.js")}));
    ui->backupTree->expandItem(ui->backupTree->topLevelItem(0)); // made when opened
    EXPECT_EQ(window.listedPaths().size(), 5);
    EXPECT_FALSE(ui->restoreToButton->isEnabled());

    QTest::keyClicks(ui->searchField, QStringLiteral("INBOX"));
    EXPECT_TRUE(window.listedPaths().contains(QStringLiteral("Local Folders/Inbox-Later")));
    clickRow(ui->pointsList, ui->pointsList->model()->index(2, 0)); // before the first run
    EXPECT_EQ(window.listedPaths(), (QStringList{QStringLiteral("Local Folders"), QStringLiteral("Local Folders/Inbox")}));
    clickRow(ui->backupTree, indexOfPath(ui->backupTree, QStringLiteral("Local Folders/Inbox")));
    EXPECT_EQ(window.selectedPaths(), QStringList{QStringLiteral("Local Folders/Inbox")});
    ASSERT_TRUE(ui->restoreToButton->isEnabled());
    ASSERT_TRUE(ui->restoreOriginalButton->isVisible());

    QTest::qWait(50);
    const QString shot = QStringLiteral(CV_BUILD_DIR "/restore_window.png");
    EXPECT_TRUE(window.window()->grab().save(shot));

    QTest::mouseClick(ui->restoreToButton, Qt::LeftButton);
    EXPECT_EQ(cv::test::readFile(dialogs.folder + QStringLiteral("/Inbox")), "the good inbox");
    ASSERT_EQ(dialogs.summaries.size(), 1);
    EXPECT_TRUE(dialogs.summaries[0].startsWith(QLatin1String("1 file (14 bytes) restored to"))) << dialogs.summaries[0].toStdString();
    EXPECT_EQ(workspace.opened, QStringList{dialogs.folder});

    QTest::mouseClick(ui->restoreOriginalButton, Qt::LeftButton);
    EXPECT_EQ(dialogs.confirmations, 1);
    EXPECT_EQ(quitter.asked, QStringList{QStringLiteral("Thunderbird")});
    EXPECT_EQ(cv::test::readFile(place.dataFolder + QStringLiteral("/Local Folders/Inbox")), "the good inbox");
    EXPECT_EQ(QDir(place.dataFolder + QStringLiteral("/Local Folders")).entryList({QStringLiteral("Inbox.before-restore-*")}).size(), 1);

    QTest::mouseClick(ui->openBackupFolderButton, Qt::LeftButton);
    EXPECT_EQ(workspace.opened.constLast(), disk.mirror({}));
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
