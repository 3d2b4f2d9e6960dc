#pragma once
// The Restore window's "Off-site" part: the repository's snapshots, labelled
// by when each was made, the content of the chosen one, and the same two
// restore flows as the local history. Needs only the repository in the
// settings and its password in the keyring, so it serves a new computer.

#include "BackupHistory.h"
#include "OffsiteRestore.h"

#include <QWidget>

#include <memory>

namespace Ui {
class OffsiteSnapshotsView;
}

namespace cv::offsite {
class SecretStore;
}

namespace cv::configurator::windows {

class RestoreDialogs;

class OffsiteSnapshotsView : public QWidget
{
    Q_OBJECT
public:
    // Neither is owned; both outlive the view (the Restore window's own).
    OffsiteSnapshotsView(RestoreDialogs &dialogs, history::ClientQuitter &quitter, QWidget *parent = nullptr);
    ~OffsiteSnapshotsView() override;

    // For tests: the restic program and the keyring.
    void setResticProgram(const QString &program) { m_program = program; }
    void setSecretStore(offsite::SecretStore *store) { m_secrets = store; }

    // Reads the settings and the repository's snapshots; done on first show.
    void load();
    void snapshotChosen(int row);
    void restoreTo();
    void restoreToOriginalPlace();
    const QList<offsite::Snapshot> &snapshots() const { return m_snapshots; }

signals:
    // A load, a listing or a restore has ended.
    void idle();

protected:
    void showEvent(QShowEvent *event) override;

private:
    QStringList selectedPaths() const;
    history::ProgressCallback progress();
    void setBusy(bool busy);
    void finishRestore(const history::RestoreResult &result, const QString &title, const QString &where);
    void say(const QString &text);

    std::unique_ptr<Ui::OffsiteSnapshotsView> m_ui;
    RestoreDialogs &m_dialogs;
    history::ClientQuitter &m_quitter;
    offsite::SecretStore *m_secrets = nullptr;
    std::unique_ptr<offsite::SecretStore> m_ownSecrets;
    QString m_program = QStringLiteral("restic");
    std::unique_ptr<offsite::OffsiteRepository> m_repository;
    QList<offsite::Snapshot> m_snapshots;
    QStringList m_labels; // one per snapshot
    bool m_loaded = false;
    bool m_busy = false;
    bool m_cancelRequested = false;
};

} // namespace cv::configurator::windows
