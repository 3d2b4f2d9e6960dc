#include "RestoreSession.h"

#include <QThread>

namespace cv::history {

bool holdRunLock(platform::RunLock &lock, const QString &lockPath, const KeepWaiting &keepWaiting, QString &why)
{
    for (;;) {
        switch (lock.tryAcquire(lockPath)) {
        case platform::RunLock::Acquire::Acquired:
            return true;
        case platform::RunLock::Acquire::Unusable:
            why = QStringLiteral("Nothing was restored: %1.").arg(lock.error());
            return false;
        case platform::RunLock::Acquire::Busy:
            if (keepWaiting && !keepWaiting()) {
                why = QStringLiteral("Nothing was restored: a backup is running.");
                return false;
            }
            QThread::msleep(200);
            break;
        }
    }
}

std::optional<QList<Entry>> currentTreeAt(const QString &destination, const QString &pointId,
                                          const QDateTime &latestFallback, QString &why)
{
    const BackupHistory history(destination);
    const std::optional<Point> point = history.point(pointId, latestFallback);
    if (!point) {
        why = QStringLiteral("Nothing was restored: the point '%1' is no longer in the backup '%2'.")
                  .arg(pointId, destination);
        return std::nullopt;
    }
    return history.treeAt(*point);
}

} // namespace cv::history
