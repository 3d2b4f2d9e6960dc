#include "OffsiteSnapshotsView.h"

#include "Home.h"
#include "OffsiteRecord.h"
#include "PropertyList.h"
#include "RestoreWindow.h"
#include "SecretStore.h"
#include "ui_OffsiteSnapshotsView.h"

#include <QCoreApplication>
#include <QDir>
#include <QHash>
#include <QLocale>

namespace cv::configurator::windows {

namespace {

constexpr int kPathRole = Qt::UserRole;

QString sizeText(qint64 bytes) { return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat); }

} // namespace

OffsiteSnapshotsView::OffsiteSnapshotsView(RestoreDialogs &dialogs, history::ClientQuitter &quitter, QWidget *parent)
    : QWidget(parent)
    , m_ui(std::make_unique<Ui::OffsiteSnapshotsView>())
    , m_dialogs(dialogs)
    , m_quitter(quitter)
{
    m_ui->setupUi(this);
    m_ui->snapshotTree->header()->setStretchLastSection(false);
    m_ui->snapshotTree->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    m_ui->snapshotTree->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    connect(m_ui->snapshotsList, &QListWidget::currentRowChanged, this, &OffsiteSnapshotsView::snapshotChosen);
    connect(m_ui->snapshotTree, &QTreeWidget::itemSelectionChanged, this, [this] {
        const bool any = !m_busy && !selectedPaths().isEmpty();
        m_ui->offsiteRestoreToButton->setEnabled(any);
        m_ui->offsiteRestoreOriginalButton->setEnabled(any);
    });
    connect(m_ui->offsiteRestoreToButton, &QPushButton::clicked, this, &OffsiteSnapshotsView::restoreTo);
    connect(m_ui->offsiteRestoreOriginalButton, &QPushButton::clicked, this, &OffsiteSnapshotsView::restoreToOriginalPlace);
    connect(m_ui->offsiteCancelButton, &QPushButton::clicked, this, [this] {
        m_cancelRequested = true;
        if (m_repository)
            m_repository->cancel();
    });
}

OffsiteSnapshotsView::~OffsiteSnapshotsView() = default;

void OffsiteSnapshotsView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!m_loaded)
        QMetaObject::invokeMethod(this, &OffsiteSnapshotsView::load, Qt::QueuedConnection);
}

void OffsiteSnapshotsView::say(const QString &text)
{
    m_ui->offsiteStatusLabel->setText(text);
}

void OffsiteSnapshotsView::load()
{
    if (m_busy)
        return;
    m_loaded = true;
    m_snapshots.clear();
    m_ui->snapshotsList->clear();
    m_ui->snapshotTree->clear();
    const auto defaults = platform::readDictionaryFile(cv::defaultsFilePath()).value_or(QVariantMap{});
    const QString repository = defaults.value(QLatin1String(offsite::kRepositoryKey)).toString();
    if (repository.isEmpty()) {
        say(QStringLiteral("No off-site repository is set up; the Off-site preferences name one."));
        emit idle();
        return;
    }
    if (!m_secrets) {
        m_ownSecrets = std::make_unique<offsite::LibsecretStore>();
        m_secrets = m_ownSecrets.get();
    }
    const auto secret = m_secrets->lookup(repository);
    if (secret.status != offsite::SecretStore::Status::Found) {
        say(QStringLiteral("The keyring holds no password for %1; enter it in the Off-site preferences.").arg(repository));
        emit idle();
        return;
    }
    m_repository = std::make_unique<offsite::OffsiteRepository>(repository, secret.password, m_program);
    setBusy(true);
    say(QStringLiteral("Reading the off-site snapshots\u2026"));
    const Result<QList<offsite::Snapshot>> snapshots = m_repository->snapshots();
    setBusy(false);
    if (!snapshots) {
        say(snapshots.reason());
        emit idle();
        return;
    }
    m_snapshots = *snapshots;
    m_labels = offsite::snapshotLabels(m_snapshots);
    m_ui->snapshotsList->addItems(m_labels);
    say(m_snapshots.isEmpty() ? QStringLiteral("The repository holds no snapshot yet.") : QString());
    if (!m_snapshots.isEmpty())
        m_ui->snapshotsList->setCurrentRow(0); // lists it, then idle
    else
        emit idle();
}

void OffsiteSnapshotsView::snapshotChosen(int row)
{
    m_ui->snapshotTree->clear();
    if (row < 0 || row >= m_snapshots.size() || !m_repository || m_busy)
        return;
    setBusy(true);
    say(QStringLiteral("Reading the snapshot\u2026"));
    const Result<QList<history::Entry>> entries = m_repository->list(m_snapshots.at(row));
    setBusy(false);
    if (!entries) {
        say(entries.reason());
        emit idle();
        return;
    }
    // Sorted by path, so each parent comes before what it holds.
    QHash<QString, QTreeWidgetItem *> items;
    for (const history::Entry &entry : *entries) {
        const QString path = QString::fromUtf8(entry.path); // restic's names are text
        const QString parentPath = path.section(QLatin1Char('/'), 0, -2);
        QTreeWidgetItem *parent = items.value(parentPath);
        auto *item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(m_ui->snapshotTree);
        item->setText(0, entry.name());
        item->setData(0, kPathRole, path);
        if (entry.kind != history::EntryKind::Folder)
            item->setText(1, sizeText(entry.size));
        items.insert(path, item);
    }
    say(QString());
    emit idle();
}

QStringList OffsiteSnapshotsView::selectedPaths() const
{
    QStringList paths;
    for (const QTreeWidgetItem *item : m_ui->snapshotTree->selectedItems())
        paths << item->data(0, kPathRole).toString();
    paths.sort();
    return paths;
}

void OffsiteSnapshotsView::setBusy(bool busy)
{
    m_busy = busy;
    m_cancelRequested = false;
    m_ui->snapshotsList->setEnabled(!busy);
    m_ui->offsiteRestoreToButton->setEnabled(!busy && !selectedPaths().isEmpty());
    m_ui->offsiteRestoreOriginalButton->setEnabled(!busy && !selectedPaths().isEmpty());
    m_ui->offsiteProgressBar->setVisible(busy);
    m_ui->offsiteProgressBar->setRange(0, 0); // busy until bytes are known
    m_ui->offsiteCancelButton->setVisible(busy);
}

history::ProgressCallback OffsiteSnapshotsView::progress()
{
    return [this](const history::CopyProgress &progress) {
        m_ui->offsiteProgressBar->setRange(0, 1000);
        m_ui->offsiteProgressBar->setValue(int(progress.bytesDone * 1000 / std::max<qint64>(progress.bytesTotal, 1)));
        say(QStringLiteral("Restoring %1 of %2\u2026").arg(sizeText(progress.bytesDone), sizeText(progress.bytesTotal)));
        QCoreApplication::processEvents();
        return !m_cancelRequested;
    };
}

void OffsiteSnapshotsView::restoreTo()
{
    const QStringList selected = selectedPaths();
    const int row = m_ui->snapshotsList->currentRow();
    if (selected.isEmpty() || m_busy || row < 0)
        return;
    const QString folder = m_dialogs.chooseRestoreFolder(window(), history::defaultRestoreFolder(QDateTime::currentDateTime()));
    if (folder.isEmpty())
        return;
    setBusy(true);
    say(QStringLiteral("Fetching from the off-site repository\u2026"));
    const history::RestoreResult result = m_repository->restoreTo(m_snapshots.at(row), selected, folder, progress());
    setBusy(false);
    finishRestore(result, QStringLiteral("Restore To"), folder);
}

void OffsiteSnapshotsView::restoreToOriginalPlace()
{
    const QStringList selected = selectedPaths();
    const int row = m_ui->snapshotsList->currentRow();
    if (selected.isEmpty() || m_busy || row < 0)
        return;
    const offsite::Snapshot &snapshot = m_snapshots.at(row);
    const auto place = history::ClientPlace::forClient(snapshot.client, cv::homeDirectory());
    if (!place) {
        m_dialogs.showProblem(window(), QStringLiteral("Restore to Original Place"),
                              QStringLiteral("This snapshot does not say which client it holds; use \u201cRestore To\u2026\u201d."));
        return;
    }
    const QString message =
        QStringLiteral("Put the selected items back where %1 keeps them, as in the off-site copy of %2?\n\n%3 is quit "
                       "first. Nothing there is deleted: each item there now is renamed to "
                       "\u201c<name>.before-restore-<date>\u201d beside it.")
            .arg(place->client, m_labels.value(row), place->applicationName);
    if (!m_dialogs.confirmOriginalPlace(window(), message))
        return;
    setBusy(true);
    say(QStringLiteral("Fetching from the off-site repository\u2026"));
    const history::RestoreResult result = m_repository->restoreToOriginalPlace(
        snapshot, selected, *place, m_quitter, QDateTime::currentDateTime(), progress());
    setBusy(false);
    finishRestore(result, QStringLiteral("Restore to Original Place"), place->dataFolder);
}

void OffsiteSnapshotsView::finishRestore(const history::RestoreResult &result, const QString &title, const QString &where)
{
    say(QString());
    if (!result.failure.isEmpty()) {
        m_dialogs.showProblem(window(), title, result.failure);
    } else {
        QString text = result.cancelled ? QStringLiteral("The restore was cancelled. ") : QString();
        text += QStringLiteral("%1 %2 (%3) restored to \u201c%4\u201d.")
                    .arg(result.files)
                    .arg(result.files == 1 ? QStringLiteral("file") : QStringLiteral("files"), sizeText(result.bytes),
                         QDir::toNativeSeparators(where));
        if (!result.setAside.isEmpty())
            text += QStringLiteral("\n\nWhat was there before is kept beside it:\n") + result.setAside.join(QLatin1Char('\n'));
        if (!result.errors.isEmpty())
            text += QStringLiteral("\n\nNot restored:\n") + result.errors.join(QLatin1Char('\n'));
        m_dialogs.showSummary(window(), text, false);
    }
    emit idle();
}

} // namespace cv::configurator::windows
