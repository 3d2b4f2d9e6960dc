// Recovery after a lost machine: a fresh home with only the repository in
// the settings and its password in the keyring; the Restore window lists the
// off-site snapshots and restores a mailbox byte for byte, by the local
// restore's never-overwrite rules.
#include "OffsiteRestore.h"
#include "OffsiteSnapshotsView.h"
#include "OffsiteRecord.h"
#include "OffsiteTestSupport.h"
#include "PropertyList.h"
#include "RestoreWindow.h"
#include "SecretStore.h"
#include "Home.h"
#include "Workspace.h"

#include <QListWidget>
#include <QSignalSpy>
#include <QTreeWidget>

using namespace cv;
using namespace cv::configurator::windows;

namespace {

[[maybe_unused]] auto *const keyring = ::testing::AddGlobalTestEnvironment(new test::KeyringEnvironment);

const QString kPassword = QStringLiteral("lost-laptop-password");

class ScriptedDialogs : public RestoreDialogs
{
public:
    QString folder;
    QStringList summaries, problems;
    QString chooseRestoreFolder(QWidget *, const QString &) override { return folder; }
    bool confirmOriginalPlace(QWidget *, const QString &) override { return true; }
    bool showSummary(QWidget *, const QString &message, bool) override { return summaries.append(message), false; }
    void showProblem(QWidget *, const QString &, const QString &message) override { problems.append(message); }
};

class NoQuitter : public history::ClientQuitter
{
public:
    Result<> quitAndWait(const QString &) override { return {}; }
};

class NoWorkspace : public platform::Workspace
{
public:
    bool openFile(const QString &) override { return true; }
    bool openURL(const QUrl &) override { return true; }
};

TEST(OffsiteRestore, FreshHomeListsTheSnapshotsAndRestoresByteForByte)
{
    // The old machine: two snapshots of a mailbox folder, one name with
    // pattern characters in it.
    test::ScopedHome oldHome;
    const QString repository = oldHome.file(QStringLiteral("usb disk/repo"));
    const QString mail = oldHome.file(QStringLiteral("Backup"));
    ASSERT_EQ(test::restic(repository, kPassword, {QStringLiteral("init")}).exitCode, 0);
    test::writeMailbox(mail, 1);
    test::writeFile(mail + QStringLiteral("/Mail/[Gmail]*?/Sent"), "sent mail\n");
    ASSERT_EQ(test::restic(repository, kPassword, {QStringLiteral("backup"), QStringLiteral("--tag"), QStringLiteral("Thunderbird"), mail}).exitCode, 0);
    const QStringList first = test::treeListing(mail + QStringLiteral("/Mail"));
    test::writeMailbox(mail, 2);
    ASSERT_EQ(test::restic(repository, kPassword, {QStringLiteral("backup"), QStringLiteral("--tag"), QStringLiteral("Thunderbird"), mail}).exitCode, 0);
    const QStringList second = test::treeListing(mail + QStringLiteral("/Mail"));
    ASSERT_NE(first, second);

    // The new one.
    test::ScopedHome home;
    QDir().mkpath(QFileInfo(defaultsFilePath()).absolutePath());
    ASSERT_TRUE(platform::writeDictionaryXmlAtomically(defaultsFilePath(), {{QLatin1String(offsite::kRepositoryKey), repository}}));
    ASSERT_TRUE(offsite::LibsecretStore().store(repository, kPassword));

    ScriptedDialogs dialogs;
    NoQuitter quitter;
    NoWorkspace workspace;
    RestoreWindow window(dialogs, workspace, quitter, home.file(QStringLiteral("engine.lock")));
    auto *view = window.window()->findChild<OffsiteSnapshotsView *>();
    ASSERT_TRUE(view);
    QSignalSpy idle(view, &OffsiteSnapshotsView::idle);
    window.window()->show(); // the view loads on its first show
    ASSERT_TRUE(idle.wait(60000));
    ASSERT_EQ(view->snapshots().size(), 2);
    auto *list = view->findChild<QListWidget *>(QStringLiteral("snapshotsList"));
    const QStringList labels = offsite::snapshotLabels(view->snapshots());
    EXPECT_EQ(list->item(0)->text(), labels.at(0));
    EXPECT_NE(labels.at(0), labels.at(1)) << "two snapshots of one minute read apart";
    auto *tree = view->findChild<QTreeWidget *>(QStringLiteral("snapshotTree"));

    const struct {
        int row;
        const QStringList &expected;
        const char *restoredName;
    } cases[] = {
        {1, first, "Mail"},
        {0, second, "Mail (restored)"}, // the same folder again: never over the first
    };
    dialogs.folder = home.file(QStringLiteral("Recovered"));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.restoredName);
        idle.clear();
        list->setCurrentRow(c.row);
        if (idle.isEmpty()) {
            ASSERT_TRUE(idle.wait(60000));
        }
        const auto found = tree->findItems(QStringLiteral("Mail"), Qt::MatchExactly);
        ASSERT_EQ(found.size(), 1);
        tree->clearSelection();
        found.first()->setSelected(true);
        view->restoreTo();
        EXPECT_TRUE(dialogs.problems.isEmpty()) << dialogs.problems.join('\n').toStdString();
        EXPECT_EQ(test::treeListing(dialogs.folder + QLatin1Char('/') + QLatin1String(c.restoredName)), c.expected);
    }
    EXPECT_EQ(dialogs.summaries.size(), 2);
    // The scratch folder is gone.
    EXPECT_EQ(QDir(home.file(QStringLiteral(".cache"))).entryList({QStringLiteral("corvantis-restore-*")}, QDir::Dirs),
              QStringList());
    EXPECT_TRUE(window.window()->grab().save(QStringLiteral(CV_BUILD_DIR "/offsite_restore.png")));
}

} // namespace
