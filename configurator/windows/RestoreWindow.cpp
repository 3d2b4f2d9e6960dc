#include "RestoreWindow.h"

#include "OffsiteSnapshotsView.h"

#include "Home.h"
#include "Names.h"
#include "Workspace.h"
#include "ui_RestoreWindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QHash>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>

namespace cv::configurator::windows {

using history::Entry;
using history::EntryKind;

namespace {

const QString kPointDate = QStringLiteral("ddd d MMM yyyy, HH:mm");

enum Role { PathRole = Qt::UserRole + 1 };

QString describePoint(const history::Point &point)
{
    if (point.isLatest()) {
        const QString when = point.time.isValid() ? QLocale().toString(point.time, kPointDate)
                                                  : QStringLiteral("date unknown");
        return QStringLiteral("Latest backup\n") + when;
    }
    return QLocale().toString(point.time, kPointDate) + QLatin1Char('\n')
        + QStringLiteral("%1 %2, %3 kept")
              .arg(point.files)
              .arg(point.files == 1 ? QStringLiteral("file") : QStringLiteral("files"), formatSize(point.bytes));
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

// Dialogs ---------------------------------------------------------------------

QString WidgetRestoreDialogs::chooseRestoreFolder(QWidget *parent, const QString &offered)
{
    QMessageBox box(QMessageBox::Question, QStringLiteral("Restore To"),
                    QStringLiteral("Restore the selected items into a new folder?"), QMessageBox::NoButton, parent);
    box.setInformativeText(QDir::toNativeSeparators(offered));
    QPushButton *restore = box.addButton(QStringLiteral("Restore"), QMessageBox::AcceptRole);
    QPushButton *other = box.addButton(QStringLiteral("Choose Another Folder…"), QMessageBox::ActionRole);
    box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(restore);
    box.exec();
    if (box.clickedButton() == restore)
        return offered;
    if (box.clickedButton() == other)
        return QFileDialog::getExistingDirectory(parent, QStringLiteral("Restore To"), QDir::homePath());
    return {};
}

bool WidgetRestoreDialogs::confirmOriginalPlace(QWidget *parent, const QString &message)
{
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Restore to Original Place"), message, QMessageBox::NoButton,
                    parent);
    QPushButton *restore = box.addButton(QStringLiteral("Restore"), QMessageBox::AcceptRole);
    box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(QMessageBox::Cancel);
    box.exec();
    return box.clickedButton() == restore;
}

bool WidgetRestoreDialogs::showSummary(QWidget *parent, const QString &message, bool offerShowInFolder)
{
    QMessageBox box(QMessageBox::Information, QStringLiteral("Restore"), message, QMessageBox::NoButton, parent);
    QPushButton *show = offerShowInFolder ? box.addButton(QStringLiteral("Show in Folder"), QMessageBox::ActionRole)
                                          : nullptr;
    box.setDefaultButton(box.addButton(QMessageBox::Ok));
    box.exec();
    return show && box.clickedButton() == show;
}

void WidgetRestoreDialogs::showProblem(QWidget *parent, const QString &title, const QString &message)
{
    QMessageBox::warning(parent, title, message);
}

// The window ------------------------------------------------------------------

RestoreSource restoreSourceFor(const std::optional<QVariantMap> &configuration, const QString &fallbackDestination)
{
    RestoreSource source;
    const QVariantMap config = configuration.value_or(QVariantMap());
    const QVariant destination = config.value(QLatin1String(names::kDestinationKey));
    source.destination = destination.typeId() == QMetaType::QString && !destination.toString().isEmpty()
        ? destination.toString()
        : fallbackDestination;
    const QVariant client = config.value(QLatin1String(names::kClientKey));
    if (client.typeId() == QMetaType::QString)
        source.place = history::ClientPlace::forClient(client.toString(), cv::homeDirectory());
    const QFileInfo marker(cv::markerFilePath());
    if (marker.exists())
        source.lastBackup = marker.lastModified();
    return source;
}

RestoreWindow::RestoreWindow(platform::Workspace &workspace, QObject *parent)
    : RestoreWindow(*new WidgetRestoreDialogs,
                    workspace,
                    *new history::OsascriptQuitter(history::OsascriptQuitter::findOsascript(cv::installedEnginePath()),
                                                   std::chrono::minutes(2),
                                                   [] {
                                                       QCoreApplication::processEvents();
                                                       return true;
                                                   }),
                    parent)
{
    m_ownDialogs.reset(&m_dialogs);
    m_ownQuitter.reset(&m_quitter);
}

RestoreWindow::RestoreWindow(RestoreDialogs &dialogs, platform::Workspace &workspace,
                             history::ClientQuitter &quitter, QObject *parent)
    : QObject(parent)
    , m_dialogs(dialogs)
    , m_workspace(workspace)
    , m_quitter(quitter)
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

    connect(m_ui->pointsList, &QListWidget::currentRowChanged, this, &RestoreWindow::pointChosen);
    connect(m_ui->searchField, &QLineEdit::textChanged, this, &RestoreWindow::searchChanged);
    connect(m_ui->backupTree, &QTreeWidget::itemSelectionChanged, this, &RestoreWindow::selectionChanged);
    connect(m_ui->backupTree, &QTreeWidget::itemExpanded, this, &RestoreWindow::itemExpanded);
    connect(m_ui->restoreToButton, &QPushButton::clicked, this, [this] { restoreTo(m_ui->restoreToButton); });
    connect(m_ui->restoreOriginalButton, &QPushButton::clicked, this,
            [this] { restoreToOriginalPlace(m_ui->restoreOriginalButton); });
    connect(m_ui->openBackupFolderButton, &QPushButton::clicked, this,
            [this] { openBackupFolder(m_ui->openBackupFolderButton); });
    connect(m_ui->cancelButton, &QPushButton::clicked, this, [this] { m_cancelRequested = true; });
    // The off-site snapshots, with restore flows of their own.
    m_ui->windowLayout->insertWidget(1, new OffsiteSnapshotsView(m_dialogs, m_quitter, m_window));
}

RestoreWindow::~RestoreWindow()
{
    delete m_window.data();
}

void RestoreWindow::setSource(const RestoreSource &source)
{
    m_source = source;
    m_history = std::make_unique<history::BackupHistory>(source.destination);
    m_points = m_history->points(source.lastBackup);
    m_window->setWindowTitle(QStringLiteral("Restore from %1").arg(QDir::toNativeSeparators(source.destination)));
    const bool originalPlace = source.place && QFileInfo(source.place->dataFolder).isDir();
    m_ui->restoreOriginalButton->setVisible(originalPlace);

    const QSignalBlocker blocker(m_ui->pointsList);
    m_ui->pointsList->clear();
    for (const history::Point &point : std::as_const(m_points))
        m_ui->pointsList->addItem(describePoint(point));
    m_ui->pointsList->setCurrentRow(0);
    pointChosen(0);
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
    m_tree = m_history->treeAt(m_points.at(row).stamp);
    QApplication::restoreOverrideCursor();
    showTree();
}

void RestoreWindow::searchChanged(const QString &)
{
    showTree();
}

QTreeWidgetItem *RestoreWindow::makeItem(const Entry &shown, QTreeWidgetItem *parent)
{
    // Sizes and times are read for the rows made, not for the whole backup.
    Entry e = shown;
    history::fillDetails(e);
    auto *item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem;
    item->setText(0, e.name());
    item->setData(0, PathRole, e.path);
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
    if (item->childCount() > 0 || m_searching)
        return;
    // What a folder holds is made when it is first opened.
    const QString path = item->data(0, PathRole).toString();
    const QList<Entry> below = history::BackupHistory::subtree(m_tree, path);
    for (qsizetype i = 1; i < below.size(); ++i)
        if (below.at(i).path.indexOf(QLatin1Char('/'), path.size() + 1) < 0)
            makeItem(below.at(i), item);
    if (item->childCount() == 0)
        item->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
}

void RestoreWindow::showTree()
{
    const QString search = m_ui->searchField->text().trimmed();
    m_searching = !search.isEmpty();
    QTreeWidget *tree = m_ui->backupTree;
    tree->setUpdatesEnabled(false);
    tree->clear();
    QList<QTreeWidgetItem *> topLevel;
    if (!m_searching) {
        for (const Entry &e : std::as_const(m_tree))
            if (!e.path.contains(QLatin1Char('/')))
                topLevel.append(makeItem(e, nullptr));
        m_shownCount = m_tree.size();
    } else {
        QList<Entry> shown = history::BackupHistory::filtered(m_tree, search);
        m_shownCount = shown.size();
        // Parents sort before what they hold, so the first rows are whole.
        if (shown.size() > kMaxSearchRows)
            shown.resize(kMaxSearchRows);
        QHash<QString, QTreeWidgetItem *> folders;
        for (const Entry &e : std::as_const(shown)) {
            const qsizetype slash = e.path.lastIndexOf(QLatin1Char('/'));
            QTreeWidgetItem *parent = slash < 0 ? nullptr : folders.value(e.path.left(slash));
            QTreeWidgetItem *item = makeItem(e, parent);
            if (!parent)
                topLevel.append(item);
            if (e.kind == EntryKind::Folder)
                folders.insert(e.path, item);
        }
    }
    tree->addTopLevelItems(topLevel);
    if (m_searching)
        tree->expandAll();
    tree->setUpdatesEnabled(true);
    showCount();
    selectionChanged();
}

void RestoreWindow::showCount()
{
    QString text = !m_searching ? QStringLiteral("%1 items").arg(m_tree.size())
                                : QStringLiteral("%1 of %2 items match").arg(m_shownCount).arg(m_tree.size());
    if (m_searching && m_shownCount > kMaxSearchRows)
        text += QStringLiteral(" (the first %1 are shown)").arg(kMaxSearchRows);
    m_ui->statusLabel->setText(text);
}

QStringList RestoreWindow::listedPaths() const
{
    QStringList paths;
    for (QTreeWidgetItemIterator it(m_ui->backupTree); *it; ++it)
        paths.append((*it)->data(0, PathRole).toString());
    return paths;
}

QStringList RestoreWindow::selectedPaths() const
{
    QStringList paths;
    for (const QTreeWidgetItem *item : m_ui->backupTree->selectedItems())
        paths.append(item->data(0, PathRole).toString());
    return paths;
}

void RestoreWindow::selectionChanged()
{
    const bool any = !m_busy && !m_ui->backupTree->selectedItems().isEmpty();
    m_ui->restoreToButton->setEnabled(any);
    m_ui->restoreOriginalButton->setEnabled(any);
}

void RestoreWindow::setBusy(bool busy)
{
    m_busy = busy;
    m_cancelRequested = false;
    m_ui->pointsList->setEnabled(!busy);
    m_ui->searchField->setEnabled(!busy);
    m_ui->backupTree->setEnabled(!busy);
    if (!busy) {
        m_ui->progressBar->hide();
        m_ui->cancelButton->hide();
        showCount();
    }
    selectionChanged();
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

QString RestoreWindow::describeResult(const history::RestoreResult &result, const QString &where) const
{
    QString text = result.cancelled ? QStringLiteral("The restore was cancelled. ") : QString();
    text += QStringLiteral("%1 %2 (%3) restored to “%4”.")
                .arg(result.files)
                .arg(result.files == 1 ? QStringLiteral("file") : QStringLiteral("files"), formatSize(result.bytes),
                     QDir::toNativeSeparators(where));
    if (!result.setAside.isEmpty())
        text += QStringLiteral("\n\nWhat was there before is kept beside it:\n")
            + QDir::toNativeSeparators(result.setAside.join(QLatin1Char('\n')));
    if (!result.errors.isEmpty())
        text += QStringLiteral("\n\nNot restored:\n") + result.errors.join(QLatin1Char('\n'));
    return text;
}

void RestoreWindow::restoreTo(QObject *)
{
    const QStringList selected = selectedPaths();
    if (selected.isEmpty() || m_busy)
        return;
    const QString folder = m_dialogs.chooseRestoreFolder(m_window, history::defaultRestoreFolder(QDateTime::currentDateTime()));
    if (folder.isEmpty())
        return;
    setBusy(true);
    const history::RestoreResult result =
        history::restoreTo(m_tree, selected, folder, progressFor(history::bytesToRestore(m_tree, selected)));
    setBusy(false);
    if (!result.failure.isEmpty()) {
        m_dialogs.showProblem(m_window, QStringLiteral("Restore To"), result.failure);
        return;
    }
    if (m_dialogs.showSummary(m_window, describeResult(result, folder), !result.restored.isEmpty()))
        m_workspace.openFile(folder);
}

void RestoreWindow::restoreToOriginalPlace(QObject *)
{
    const QStringList selected = selectedPaths();
    if (selected.isEmpty() || m_busy || !m_source.place)
        return;
    const history::ClientPlace &place = *m_source.place;
    const int row = m_ui->pointsList->currentRow();
    const QString point = row <= 0 ? QStringLiteral("the latest backup")
                                   : QStringLiteral("the backup as it was on %1")
                                         .arg(QLocale().toString(m_points.at(row).time, kPointDate));
    const QString message =
        QStringLiteral("Put the selected items back where %1 keeps them, as in %2?\n\n%3 is quit first. Nothing there "
                       "is deleted: each item there now is renamed to “<name>.before-restore-<date>” beside it.")
            .arg(place.client, point, place.applicationName);
    if (!m_dialogs.confirmOriginalPlace(m_window, message))
        return;
    setBusy(true);
    const history::RestoreResult result = history::restoreToOriginalPlace(
        m_tree, selected, place, m_quitter, QDateTime::currentDateTime(), progressFor(0));
    setBusy(false);
    if (!result.failure.isEmpty()) {
        m_dialogs.showProblem(m_window, QStringLiteral("Restore to Original Place"), result.failure);
        return;
    }
    if (m_dialogs.showSummary(m_window, describeResult(result, place.dataFolder), !result.restored.isEmpty()))
        m_workspace.openFile(place.dataFolder);
}

void RestoreWindow::openBackupFolder(QObject *)
{
    m_workspace.openFile(m_source.destination);
}

} // namespace cv::configurator::windows
