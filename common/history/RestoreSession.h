#pragma once
// A restore against the present: it holds the run lock, so that no backup
// changes the backup while it reads (one that runs is waited for), and reads
// its point again from disk rather than trusting a tree listed earlier.

#include "BackupHistory.h"
#include "Restore.h"
#include "Result.h"
#include "RunLock.h"

#include <QVariantMap>

#include <functional>
#include <optional>

namespace cv::history {

// Called about every 200 ms while a backup runs; answering false gives up.
using KeepWaiting = std::function<bool()>;

// Holds `lock` (the engine's run lock at `lockPath`) once no backup runs;
// fails with a one-line reason when it could not be taken or waiting was
// given up.
Result<> holdRunLock(platform::RunLock &lock, const QString &lockPath, const KeepWaiting &keepWaiting);

// The tree at point `pointId` as the backup holds it now, or why that point
// can no longer be rebuilt.
Result<QList<Entry>> currentTreeAt(const QString &destination, const QString &pointId,
                                   const QDateTime &latestFallback);

// What a restore reads from and puts back to.
struct RestoreSource {
    QString destination;             // the backup folder
    QDateTime lastBackup;            // the latest run's time, if known
    std::optional<ClientPlace> place; // the client's own place, if known
};

// The backup the saved configuration names (else `fallbackDestination`), its
// client's place and the time of the last backup.
RestoreSource restoreSourceFor(const std::optional<QVariantMap> &configuration, const QString &fallbackDestination);

} // namespace cv::history
