#pragma once
// The Restore window: the points in time of the backup on the left, the
// backup as it was at the chosen point on the right, and the two ways to get
// entries back. The logic lives in the history library; this binds widgets.

#include "BackupHistory.h"
#include "RestoreDialogs.h"
#include "Restore.h"
#include "RestoreSession.h"
#include "TreeSearch.h"

#include <QDateTime>
#include <QDialog>
#include <QFileSystemWatcher>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <memory>
#include <optional>

class QTreeWidgetItem;
class QWidget;

namespace cv::platform {
class Workspace;
}

namespace Ui {
class RestoreWindow;
class VersionsDialog;
}

namespace cv::configurator::windows {

using history::RestoreSource;

class RestoreWindow : public QObject
{
    Q_OBJECT
public:
    // `quitter` quits the client before Restore to Original Place (not owned).
    // `lockPath` is the engine's run lock, held while a restore reads the backup.
    RestoreWindow(RestoreDialogs &dialogs, platform::Workspace &workspace, history::ClientQuitter &quitter,
                  QString lockPath, QObject *parent = nullptr);
    // With message boxes and our osascript, as the configurator uses it.
    explicit RestoreWindow(platform::Workspace &workspace, QObject *parent = nullptr);
    ~RestoreWindow() override;

    // Tools > Restore…: shows `source` centred over `over`, its search
    // cleared. During a restore it only raises the window.
    void open(const RestoreSource &source, QWidget *over = nullptr);
    // Reads the backup's points and shows the latest.
    void setSource(const RestoreSource &source);
    void showWindow();
    QWidget *window() const { return m_window; }
    Ui::RestoreWindow *controls() const { return m_ui.get(); }
    QDialog *versionsDialog() const { return m_versions; }
    Ui::VersionsDialog *versionsControls() const { return m_versionsUi.get(); }
    bool busy() const { return m_busy; }

    // Actions.
    void pointChosen(int row);
    void searchChanged(const QString &text);
    void restoreTo(QObject *sender);
    void restoreToOriginalPlace(QObject *sender);
    void openBackupFolder(QObject *sender);
    void showVersions(QObject *sender);
    // Reads the points again (a run ended), keeping the chosen one if it is still offered.
    void refreshPoints();

    // Restores above this size show the progress bar at once.
    static constexpr qint64 kLargeRestoreBytes = 64 * 1024 * 1024;
    // A search shows at most this many rows; the status line says so.
    static constexpr qsizetype kMaxSearchRows = 1000; // made in one turn of the event loop
    // Typing pauses this long before a search starts.
    static constexpr int kSearchPauseMs = 250;

    // For the window's tests: the paths now listed and selected.
    QList<QByteArray> listedPaths() const;
    QList<QByteArray> selectedPaths() const;
    const QList<history::Point> &points() const { return m_points; }
    bool searching() const { return m_searchTimer.isActive() || m_searchSlices.isActive(); }

private:
    using Operation = std::function<history::RestoreResult(const QList<history::Entry> &, const history::ProgressCallback &)>;
    void showTree();
    void startSearch();
    void searchSlice();
    void showCount();
    QTreeWidgetItem *makeItem(const history::Entry &entry, QTreeWidgetItem *parent);
    void itemExpanded(QTreeWidgetItem *item);
    void selectionChanged();
    void setBusy(bool busy);
    void watchBackup();
    QString currentPointId() const;
    history::ProgressCallback progressFor(qint64 totalBytes);
    bool keepWaiting(const QString &status);
    std::optional<history::RestoreResult> runAgainstThePresent(const QString &title, const QString &pointId,
                                                               const Operation &operation);
    void restoreVersion(int row);
    void reportResult(const QString &title, const history::RestoreResult &result, const QString &where);
    QString describeResult(const history::RestoreResult &result, const QString &where) const;

    std::unique_ptr<RestoreDialogs> m_ownDialogs;
    std::unique_ptr<history::ClientQuitter> m_ownQuitter;
    RestoreDialogs &m_dialogs;
    platform::Workspace &m_workspace;
    history::ClientQuitter &m_quitter;
    QString m_lockPath;
    QPointer<QWidget> m_window;
    std::unique_ptr<Ui::RestoreWindow> m_ui;
    QPointer<QDialog> m_versions;
    std::unique_ptr<Ui::VersionsDialog> m_versionsUi;
    QList<history::BackupHistory::Version> m_versionList;
    QByteArray m_versionsPath;
    RestoreSource m_source;
    std::unique_ptr<history::BackupHistory> m_history;
    QList<history::Point> m_points;
    QList<history::Entry> m_tree; // the whole backup at the chosen point
    history::TreeSearch m_search;
    QTimer m_searchTimer;  // the pause after a keystroke
    QTimer m_searchSlices; // the search's next slice
    QFileSystemWatcher m_watcher;
    bool m_refreshPending = false;
    bool m_cancelRequested = false;
    bool m_busy = false;
};

// Sizes as the window lists them: "512 bytes", "1.2 KB", "3.4 MB".
QString formatSize(qint64 bytes);

} // namespace cv::configurator::windows
