#pragma once
// Getting a backup back from the off-site repository: its snapshots, the
// tree of one, and the two restore flows of the local history. The chosen
// entries are fetched with `restic restore` into a scratch folder in the
// home, then put in place by the history library's own restoreTo and
// restoreToOriginalPlace, so the never-overwrite rules are the same.

#include "BackupHistory.h"
#include "Restic.h"
#include "Restore.h"

#include <QDateTime>
#include <QPointer>
#include <QString>

#include <optional>

namespace cv::offsite {

struct Snapshot {
    QString id;
    QString shortId;
    QDateTime time; // local time
    QString source; // the folder that was sent
    QString client; // its first tag
    QString host;
};

// `restic snapshots --json`: newest first; entries lacking an id, a time or a
// path are left out.
QList<Snapshot> parseSnapshots(const QByteArray &json);
// `restic ls --json` of a snapshot: the entries below `source`, relative to
// it and sorted by path, without disk paths (they are not fetched yet).
QList<history::Entry> parseListing(const QByteArray &lines, const QString &source);
// Labels for a list of snapshots, in the same order, as the local points
// read ("Backup of Tue 8 Dec, 14:41", with seconds where two would read alike).
QStringList snapshotLabels(const QList<Snapshot> &snapshots);

class OffsiteRepository
{
public:
    OffsiteRepository(QString repository, QString password, QString program = QStringLiteral("restic"));

    Result<QList<Snapshot>> snapshots();
    Result<QList<history::Entry>> list(const Snapshot &snapshot);

    history::RestoreResult restoreTo(const Snapshot &snapshot, const QStringList &selected, const QString &targetFolder,
                                     const history::ProgressCallback &progress = {});
    history::RestoreResult restoreToOriginalPlace(const Snapshot &snapshot, const QStringList &selected,
                                                  const history::ClientPlace &place, history::ClientQuitter &quitter,
                                                  const QDateTime &now, const history::ProgressCallback &progress = {});
    // Ends a fetch in progress; the restore then reports itself cancelled.
    void cancel();

private:
    ResticResult run(const QStringList &arguments, std::chrono::milliseconds limit);
    // Fetches the selected entries into `scratch`; their tree, or a failure.
    std::optional<QList<history::Entry>> fetch(const Snapshot &snapshot, const QStringList &selected,
                                               const QString &scratch, history::RestoreResult &result);

    QString m_repository;
    QString m_password;
    QString m_program;
    QPointer<ResticRun> m_current;
    bool m_cancelled = false;
};

} // namespace cv::offsite
