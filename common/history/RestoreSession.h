#pragma once
// A restore against the present: it holds the run lock, so that no backup
// changes the backup while it reads (one that runs is waited for), and reads
// its point again from disk rather than trusting a tree listed earlier.

#include "BackupHistory.h"
#include "RunLock.h"

#include <functional>
#include <optional>

namespace cv::history {

// Called about every 200 ms while a backup runs; answering false gives up.
using KeepWaiting = std::function<bool()>;

// Holds `lock` (the engine's run lock at `lockPath`) once no backup runs.
// False, with a one-line `why`, when it could not be taken or waiting was
// given up.
bool holdRunLock(platform::RunLock &lock, const QString &lockPath, const KeepWaiting &keepWaiting, QString &why);

// The tree at point `pointId` as the backup holds it now; no value and `why`
// when that point can no longer be rebuilt.
std::optional<QList<Entry>> currentTreeAt(const QString &destination, const QString &pointId,
                                          const QDateTime &latestFallback, QString &why);

} // namespace cv::history
