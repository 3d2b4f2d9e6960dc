#include "RestoreWindow.h"

#include "OffsiteSnapshotsView.h"

#include "Home.h"
#include "RestoreSession.h"
#include "Workspace.h"
#include "ui_RestoreWindow.h"
#include "ui_VersionsDialog.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QLocale>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QStyle>

namespace cv::configurator::windows {

using history::Entry;
using history::EntryKind;

namespace {

enum Role { PathRole = Qt::UserRole + 1, KindRole };

constexpr std::chrono::milliseconds kSearchSlice(25);

QString countOf(qsizetype n, const char *one, const char *many)
{
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

// Centred over `over` (else its screen), kept on that screen.
void centre(QWidget *window, QWidget *over)
{
    QScreen *screen = over ? over->screen() : window->screen();
    const QRect around = over && over->isVisible() ? over->frameGeometry()
                                                   : (screen ? screen->availableGeometry() : QRect());
    if (around.isEmpty())
        return;
    QRect frame = window->frameGeometry();
    frame.moveCenter(around.center());
    if (screen) {
        const QRect room = screen->availableGeometry();
        frame.moveLeft(std::max(room.left(), std::min(frame.left(), room.right() - frame.width())));
        frame.moveTop(std::max(room.top(), std::min(frame.top(), room.bottom() - frame.height())));
    }
    window->move(frame.topLeft());
}

} // namespace

QString formatSize(qint64 bytes)
{
    if (bytes < 1024)
        return bytes == 1 ? QStringLiteral("1 byte") : QStringLiteral("%1 bytes").arg(bytes);
    const char *units[] = {"KB", "MB", "GB", "TB"};
    double value = double(bytes);
    int unit = -1;
    while (value >= 1024 && unit < 3) {
        value /= 1024;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(value, 0, 'f', value < 10 ? 1 : 0).arg(QLatin1String(units[unit]));
}

// The window ------------------------------------------------------------------

RestoreWindow::RestoreWindow(platform::Workspace &workspace, QObject *parent)
    : RestoreWindow(*new WidgetRestoreDialogs,
                    workspace,
                    *new history::OsascriptQuitter(history::OsascriptQuitter::findOsascript(cv::installedEnginePath()),
                                                   std::chrono::minutes(2),
                                                   [this] { return keepWaiting(QString()); }),
                    cv::runLockPath(), parent)
{
    m_ownDialogs.reset(&m_dialogs);
    m_ownQuitter.reset(&m_quitter);
}

RestoreWindow::RestoreWindow(RestoreDialogs &dialogs, platform::Workspace &workspace,
                             history::ClientQuitter &quitter, QString lockPath, QObject *parent)
    : QObject(parent)
    , m_dialogs(dialogs)
    , m_workspace(workspace)
    , m_quitter(quitter)
    , m_lockPath(std::move(lockPath))
    , m_ui(std::make_unique<Ui::RestoreWindow>())
{
    m_window = new QWidget(nullptr, Qt::Window);
    m_ui->setupUi(m_window);
    m_ui->splitter->setStretchFactor(1, 3);
    m_ui->backupTree->header()->setStretchLastSection(false);
    m_ui->backupTree->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    m_ui->backupTree->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    m_ui->backupTree->header()->setSectionResizeMode(2, QHeaderView::ResizeToContents);
    m_ui->progressBar->hide();
    m_ui->cancelButton->hide();
    m_searchTimer.setSingleShot(true);
    m_searchTimer.setInterval(kSearchPauseMs);
    m_searchSlices.setInterval(0);

    connect(m_ui->pointsList, &QListWidget::currentRowChanged, this, &RestoreWindow::pointChosen);
    connect(m_ui->searchField, &QLineEdit::textChanged, this, &RestoreWindow::searchChanged);
    connect(&m_searchTimer, &QTimer::timeout, this, &RestoreWindow::startSearch);
    connect(&m_searchSlices, &QTimer::timeout, this, &RestoreWindow::searchSlice);
    connect(m_ui->backupTree, &QTreeWidget::itemSelectionChanged, this, &RestoreWindow::selectionChanged);
    connect(m_ui->backupTree, &QTreeWidget::itemExpanded, this, &RestoreWindow::itemExpanded);
    connect(m_ui->restoreToButton, &QPushButton::clicked, this, [this] { restoreTo(m_ui->restoreToButton); });
    connect(m_ui->restoreOriginalButton, &QPushButton::clicked, this,
            [this] { restoreToOriginalPlace(m_ui->restoreOriginalButton); });
    connect(m_ui->openBackupFolderButton, &QPushButton::clicked, this,
            [this] { openBackupFolder(m_ui->openBackupFolderButton); });
    connect(m_ui->showVersionsButton, &QPushButton::clicked, this, [this] { showVersions(m_ui->showVersionsButton); });
    connect(m_ui->cancelButton, &QPushButton::clicked, this, [this] { m_cancelRequested = true; });
    connect(m_ui->closeButton, &QPushButton::clicked, m_window, &QWidget::close);
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, &RestoreWindow::refreshPoints);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &RestoreWindow::refreshPoints);
    // Escape cancels a restore that runs, else closes, as Ctrl+W does.
    auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), m_window);
    connect(escape, &QShortcut::activated, this, [this] {
        if (m_busy)
            m_cancelRequested = true;
        else
            m_window->close();
    });
    auto *close = new QShortcut(QKeySequence::Close, m_window);
    connect(close, &QShortcut::activated, this, [this] {
        if (!m_busy)
            m_window->close();
    });
    // The off-site snapshots, with restore flows of their own.
    m_ui->windowLayout->insertWidget(1, new OffsiteSnapshotsView(m_dialogs, m_quitter, m_window));
}

RestoreWindow::~RestoreWindow()
{
    delete m_versions.data();
    delete m_window.data();
}

void RestoreWindow::open(const RestoreSource &source, QWidget *over)
{
    if (!m_busy) {
        const bool wasVisible = m_window->isVisible();
        setSource(source);
        if (!wasVisible)
            centre(m_window, over);
    }
    showWindow();
}

void RestoreWindow::setSource(const RestoreSource &source)
{
    m_source = source;
    m_history = std::make_unique<history::BackupHistory>(source.destination);
    m_window->setWindowTitle(QStringLiteral("Restore from %1").arg(QDir::toNativeSeparators(source.destination)));
    const bool originalPlace = source.place && QFileInfo(source.place->dataFolder).isDir();
    m_ui->restoreOriginalButton->setVisible(originalPlace);
    {
        // A search typed for another backup has no place here.
        const QSignalBlocker blocker(m_ui->searchField);
        m_ui->searchField->clear();
        m_searchTimer.stop();
        m_searchSlices.stop();
    }
    m_points.clear();
    refreshPoints();
    watchBackup();
}

void RestoreWindow::watchBackup()
{
    if (!m_watcher.files().isEmpty())
        m_watcher.removePaths(m_watcher.files());
    if (!m_watcher.directories().isEmpty())
        m_watcher.removePaths(m_watcher.directories());
    // The journal gets a line when a run ends; the store appears with the first run.
    const QString root = history::versionsRoot(m_source.destination);
    for (const QString &path : {m_source.destination, root, root + QStringLiteral("/journal")})
        if (QFileInfo::exists(path))
            m_watcher.addPath(path);
}

QString RestoreWindow::currentPointId() const
{
    const int row = m_ui->pointsList->currentRow();
    return row >= 0 && row < m_points.size() ? m_points.at(row).id : QString();
}

void RestoreWindow::refreshPoints()
{
    if (!m_history)
        return;
    if (m_busy) {
        m_refreshPending = true;
        return;
    }
    m_refreshPending = false;
    const QString chosen = currentPointId();
    m_history = std::make_unique<history::BackupHistory>(m_source.destination);
    m_points = m_history->points(m_source.lastBackup);
    const QStringList labels = history::pointLabels(m_points);
    int row = 0;
    {
        const QSignalBlocker blocker(m_ui->pointsList);
        m_ui->pointsList->clear();
        for (int i = 0; i < labels.size(); ++i) {
            m_ui->pointsList->addItem(labels.at(i));
            if (m_points.at(i).id == chosen)
                row = i;
        }
        m_ui->pointsList->setCurrentRow(row);
    }
    pointChosen(row);
    watchBackup();
}

void RestoreWindow::showWindow()
{
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

void RestoreWindow::pointChosen(int row)
{
    if (row < 0 || row >= m_points.size() || !m_history)
        return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    m_searchSlices.stop();
    m_tree = m_history->treeAt(m_points.at(row));
    QApplication::restoreOverrideCursor();
    showTree();
}

void RestoreWindow::searchChanged(const QString &)
{
    // Not at every keystroke: after a short pause, and a slice at a time.
    m_searchSlices.stop();
    m_searchTimer.start();
}

QTreeWidgetItem *RestoreWindow::makeItem(const Entry &shown, QTreeWidgetItem *parent)
{
    // Sizes and times are read for the rows made, not for the whole backup.
    Entry e = shown;
    history::fillDetails(e);
    auto *item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem;
    item->setText(0, e.name());
    item->setData(0, PathRole, e.path);
    item->setData(0, KindRole, int(e.kind));
    const bool folder = e.kind == EntryKind::Folder;
    const QStyle::StandardPixmap icon = folder                       ? QStyle::SP_DirIcon
                                        : e.kind == EntryKind::Link ? QStyle::SP_FileLinkIcon
                                                                    : QStyle::SP_FileIcon;
    item->setIcon(0, m_window->style()->standardIcon(icon));
    item->setText(1, folder || e.size < 0 ? QString() : formatSize(e.size));
    item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    if (e.size >= 0)
        item->setText(2, QLocale().toString(e.modified(), QStringLiteral("yyyy-MM-dd HH:mm")));
    if (folder)
        item->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
    return item;
}

void RestoreWindow::itemExpanded(QTreeWidgetItem *item)
{
    if (item->childCount() > 0 || !m_ui->searchField->text().trimmed().isEmpty())
        return;
    // What a folder holds is made when it is first opened.
    const QByteArray path = item->data(0, PathRole).toByteArray();
    const QList<Entry> below = history::BackupHistory::subtree(m_tree, path);
    for (qsizetype i = 1; i < below.size(); ++i)
        if (below.at(i).path.indexOf('/', path.size() + 1) < 0)
            makeItem(below.at(i), item);
    if (item->childCount() == 0)
        item->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
}

void RestoreWindow::showTree()
{
    if (!m_ui->searchField->text().trimmed().isEmpty()) {
        startSearch();
        return;
    }
    QTreeWidget *tree = m_ui->backupTree;
    tree->setUpdatesEnabled(false);
    tree->clear();
    QList<QTreeWidgetItem *> topLevel;
    for (const Entry &e : std::as_const(m_tree))
        if (!e.path.contains('/'))
            topLevel.append(makeItem(e, nullptr));
    tree->addTopLevelItems(topLevel);
    tree->setUpdatesEnabled(true);
    m_search.start(m_tree, QString());
    m_search.step(std::chrono::milliseconds(1000)); // counting only
    showCount();
    selectionChanged();
}

void RestoreWindow::startSearch()
{
    m_searchTimer.stop();
    const QString text = m_ui->searchField->text().trimmed();
    if (text.isEmpty()) {
        m_searchSlices.stop();
        showTree();
        return;
    }
    m_search.start(m_tree, text);
    m_ui->statusLabel->setText(QStringLiteral("Searching…"));
    m_searchSlices.start();
}

void RestoreWindow::searchSlice()
{
    if (!m_search.step(kSearchSlice))
        return; // the next slice comes with the next turn of the event loop
    m_searchSlices.stop();
    QList<qsizetype> shown = m_search.shown();
    // Parents sort before what they hold, so the first rows are whole.
    if (shown.size() > kMaxSearchRows)
        shown.resize(kMaxSearchRows);
    QTreeWidget *tree = m_ui->backupTree;
    tree->setUpdatesEnabled(false);
    tree->clear();
    QList<QTreeWidgetItem *> topLevel;
    QHash<QByteArray, QTreeWidgetItem *> folders;
    for (const qsizetype i : std::as_const(shown)) {
        const Entry &e = m_tree.at(i);
        const qsizetype slash = e.path.lastIndexOf('/');
        QTreeWidgetItem *parent = slash < 0 ? nullptr : folders.value(e.path.left(slash));
        QTreeWidgetItem *item = makeItem(e, parent);
        if (!parent)
            topLevel.append(item);
        if (e.kind == EntryKind::Folder)
            folders.insert(e.path, item);
    }
    tree->addTopLevelItems(topLevel);
    tree->expandAll();
    tree->setUpdatesEnabled(true);
    showCount();
    selectionChanged();
}

void RestoreWindow::showCount()
{
    const bool searching = !m_ui->searchField->text().trimmed().isEmpty();
    QString text = !searching ? countOf(m_search.totalFiles(), "file", "files")
                              : QStringLiteral("%1 of %2 match")
                                    .arg(m_search.matchingFiles())
                                    .arg(countOf(m_search.totalFiles(), "file", "files"));
    if (searching && m_search.shown().size() > kMaxSearchRows)
        text += QStringLiteral(" (the first %1 rows are shown)").arg(kMaxSearchRows);
    m_ui->statusLabel->setText(text);
}

QList<QByteArray> RestoreWindow::listedPaths() const
{
    QList<QByteArray> paths;
    for (QTreeWidgetItemIterator it(m_ui->backupTree); *it; ++it)
        paths.append((*it)->data(0, PathRole).toByteArray());
    return paths;
}

QList<QByteArray> RestoreWindow::selectedPaths() const
{
    QList<QByteArray> paths;
    for (const QTreeWidgetItem *item : m_ui->backupTree->selectedItems())
        paths.append(item->data(0, PathRole).toByteArray());
    return paths;
}

void RestoreWindow::selectionChanged()
{
    const QList<QTreeWidgetItem *> selected = m_ui->backupTree->selectedItems();
    const bool any = !m_busy && !selected.isEmpty();
    m_ui->restoreToButton->setEnabled(any);
    m_ui->restoreOriginalButton->setEnabled(any);
    // Versions are of one file: a folder's would be every file's.
    m_ui->showVersionsButton->setEnabled(!m_busy && selected.size() == 1
                                         && selected.first()->data(0, KindRole).toInt() != int(EntryKind::Folder));
}

void RestoreWindow::setBusy(bool busy)
{
    m_busy = busy;
    m_cancelRequested = false;
    m_ui->pointsList->setEnabled(!busy);
    m_ui->searchField->setEnabled(!busy);
    m_ui->backupTree->setEnabled(!busy);
    m_ui->openBackupFolderButton->setEnabled(!busy);
    m_ui->closeButton->setEnabled(!busy);
    if (!busy) {
        m_ui->progressBar->hide();
        m_ui->cancelButton->hide();
        showCount();
    }
    selectionChanged();
    if (!busy && m_refreshPending)
        refreshPoints();
}

bool RestoreWindow::keepWaiting(const QString &status)
{
    // Said while it waits, with Cancel: the window never greys out wordless.
    if (!status.isEmpty())
        m_ui->statusLabel->setText(status);
    m_ui->cancelButton->show();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    return !m_cancelRequested;
}

history::ProgressCallback RestoreWindow::progressFor(qint64 totalBytes)
{
    auto timer = std::make_shared<QElapsedTimer>();
    timer->start();
    return [this, timer, totalBytes](const history::CopyProgress &progress) {
        // Small restores finish before a bar would be worth showing.
        if (m_ui->progressBar->isHidden() && (totalBytes > kLargeRestoreBytes || timer->elapsed() > 500)) {
            m_ui->progressBar->show();
            m_ui->cancelButton->show();
        }
        if (!m_ui->progressBar->isHidden()) {
            const qint64 total = std::max<qint64>(progress.bytesTotal, 1);
            m_ui->progressBar->setValue(int(progress.bytesDone * 1000 / total));
            m_ui->statusLabel->setText(QStringLiteral("Restoring %1 of %2…")
                                           .arg(formatSize(progress.bytesDone), formatSize(progress.bytesTotal)));
        }
        QCoreApplication::processEvents();
        return !m_cancelRequested;
    };
}

std::optional<history::RestoreResult> RestoreWindow::runAgainstThePresent(const QString &title, const QString &pointId,
                                                                         const Operation &operation)
{
    setBusy(true);
    // No backup changes the backup while it is read and copied; the point
    // is read again now, not taken from the list shown earlier.
    platform::RunLock lock;
    const Result<> held = history::holdRunLock(
        lock, m_lockPath, [this] { return keepWaiting(QStringLiteral("Waiting for the backup to finish…")); });
    const Result<QList<Entry>> tree =
        held ? history::currentTreeAt(m_source.destination, pointId, m_source.lastBackup)
             : Result<QList<Entry>>(cv::fail(held.reason()));
    std::optional<history::RestoreResult> result;
    if (tree)
        result = operation(*tree, progressFor(0));
    lock.release();
    const bool cancelled = m_cancelRequested;
    setBusy(false);
    if (!result && !cancelled)
        m_dialogs.showProblem(m_window, title, tree.reason());
    return result;
}

void RestoreWindow::reportResult(const QString &title, const history::RestoreResult &result, const QString &where)
{
    if (!result.failure.isEmpty()) {
        QString text = result.failure;
        if (!result.errors.isEmpty())
            text += QStringLiteral("\n\n") + result.errors.join(QLatin1Char('\n'));
        m_dialogs.showProblem(m_window, title, text);
        return;
    }
    if (m_dialogs.showSummary(m_window, describeResult(result, where), !result.restored.isEmpty())
        && !m_workspace.openFile(where))
        m_dialogs.showProblem(m_window, QStringLiteral("Show in Folder"),
                              QStringLiteral("The folder '%1' could not be shown: no file manager answered.")
                                  .arg(QDir::toNativeSeparators(where)));
}

QString RestoreWindow::describeResult(const history::RestoreResult &result, const QString &where) const
{
    QString text = result.cancelled ? QStringLiteral("The restore was cancelled. ") : QString();
    text += QStringLiteral("%1 (%2) restored to “%3”.")
                .arg(countOf(result.files, "file", "files"), formatSize(result.bytes), QDir::toNativeSeparators(where));
    if (!result.setAside.isEmpty())
        text += QStringLiteral("\n\nWhat was there before is kept beside it:\n")
            + QDir::toNativeSeparators(result.setAside.join(QLatin1Char('\n')));
    if (!result.errors.isEmpty())
        text += QStringLiteral("\n\nNot restored:\n") + result.errors.join(QLatin1Char('\n'));
    return text;
}

void RestoreWindow::restoreTo(QObject *)
{
    const QList<QByteArray> selected = selectedPaths();
    if (selected.isEmpty() || m_busy)
        return;
    const QString folder =
        m_dialogs.chooseRestoreFolder(m_window, history::defaultRestoreFolder(QDateTime::currentDateTime()));
    if (folder.isEmpty())
        return;
    if (const QString problem = history::restoreTargetProblem(m_source.destination, folder); !problem.isEmpty()) {
        m_dialogs.showProblem(m_window, QStringLiteral("Restore To"), problem);
        return;
    }
    const auto result = runAgainstThePresent(QStringLiteral("Restore To"), currentPointId(),
                                             [&](const QList<Entry> &tree, const history::ProgressCallback &progress) {
                                                 return history::restoreTo(tree, selected, folder, progress);
                                             });
    if (result)
        reportResult(QStringLiteral("Restore To"), *result, folder);
}

void RestoreWindow::restoreToOriginalPlace(QObject *)
{
    const QList<QByteArray> selected = selectedPaths();
    if (selected.isEmpty() || m_busy || !m_source.place)
        return;
    // A copy: the source may be replaced while the restore waits.
    const history::ClientPlace place = *m_source.place;
    const int row = m_ui->pointsList->currentRow();
    const QString point = row <= 0 ? QStringLiteral("the latest backup")
                                   : QStringLiteral("the backup as it was at the point “%1”")
                                         .arg(m_ui->pointsList->item(row)->text());
    const QString message =
        QStringLiteral("Put the selected items back where %1 keeps them, as in %2?\n\n%3 is quit first. Nothing there "
                       "is deleted: each item there now is renamed to “<name>.before-restore-<date>” beside it.")
            .arg(place.client, point, place.applicationName);
    if (!m_dialogs.confirmOriginalPlace(m_window, message))
        return;
    const auto result = runAgainstThePresent(
        QStringLiteral("Restore to Original Place"), currentPointId(),
        [&](const QList<Entry> &tree, const history::ProgressCallback &progress) {
            keepWaiting(QStringLiteral("Waiting for %1 to quit…").arg(place.applicationName));
            return history::restoreToOriginalPlace(tree, selected, place, m_quitter, QDateTime::currentDateTime(),
                                                   progress);
        });
    if (result)
        reportResult(QStringLiteral("Restore to Original Place"), *result, place.dataFolder);
}

void RestoreWindow::openBackupFolder(QObject *)
{
    if (!m_workspace.openFile(m_source.destination))
        m_dialogs.showProblem(m_window, QStringLiteral("Open Backup Folder"),
                              QStringLiteral("The backup folder '%1' could not be opened: no file manager answered.")
                                  .arg(QDir::toNativeSeparators(m_source.destination)));
}

void RestoreWindow::showVersions(QObject *)
{
    const QList<QByteArray> selected = selectedPaths();
    if (selected.size() != 1 || !m_history || m_busy)
        return;
    if (!m_versions) {
        m_versions = new QDialog(m_window);
        m_versionsUi = std::make_unique<Ui::VersionsDialog>();
        m_versionsUi->setupUi(m_versions);
        connect(m_versionsUi->closeVersionsButton, &QPushButton::clicked, m_versions, &QDialog::close);
        connect(m_versionsUi->restoreVersionButton, &QPushButton::clicked, this,
                [this] { restoreVersion(m_versionsUi->versionsTree->currentIndex().row()); });
    }
    m_versionsPath = selected.first();
    m_versionList = m_history->versionsOf(m_versionsPath);
    QList<history::Point> points;
    for (const auto &v : std::as_const(m_versionList))
        points.append(v.point);
    QStringList labels = history::pointLabels(points);
    m_versions->setWindowTitle(QStringLiteral("Versions of %1").arg(history::readableName(m_versionsPath.mid(m_versionsPath.lastIndexOf('/') + 1))));
    m_versionsUi->fileLabel->setText(QStringLiteral("Every version of “%1” the backup keeps, newest first:")
                                         .arg(history::readableName(m_versionsPath)));
    QTreeWidget *list = m_versionsUi->versionsTree;
    list->clear();
    for (qsizetype i = 0; i < m_versionList.size(); ++i) {
        const Entry &e = m_versionList.at(i).entry;
        auto *item = new QTreeWidgetItem(list);
        item->setText(0, labels.at(i).section(QLatin1Char('\n'), -1));
        item->setText(1, formatSize(e.size));
        item->setText(2, QLocale().toString(e.modified(), QStringLiteral("yyyy-MM-dd HH:mm")));
    }
    list->setCurrentItem(list->topLevelItem(0));
    m_versionsUi->restoreVersionButton->setEnabled(!m_versionList.isEmpty());
    m_versions->show();
    m_versions->raise();
}

void RestoreWindow::restoreVersion(int row)
{
    if (row < 0 || row >= m_versionList.size() || m_busy)
        return;
    const QString folder =
        m_dialogs.chooseRestoreFolder(m_versions, history::defaultRestoreFolder(QDateTime::currentDateTime()));
    if (folder.isEmpty())
        return;
    if (const QString problem = history::restoreTargetProblem(m_source.destination, folder); !problem.isEmpty()) {
        m_dialogs.showProblem(m_versions, QStringLiteral("Restore To"), problem);
        return;
    }
    const QByteArray path = m_versionsPath;
    const auto result = runAgainstThePresent(QStringLiteral("Restore To"), m_versionList.at(row).point.id,
                                             [&](const QList<Entry> &tree, const history::ProgressCallback &progress) {
                                                 return history::restoreTo(tree, {path}, folder, progress);
                                             });
    if (result)
        reportResult(QStringLiteral("Restore To"), *result, folder);
}

} // namespace cv::configurator::windows
