#include "RestoreSession.h"

#include "Home.h"
#include "Names.h"

#include <QFileInfo>
#include <QThread>

namespace cv::history {

Result<> holdRunLock(platform::RunLock &lock, const QString &lockPath, const KeepWaiting &keepWaiting)
{
    for (;;) {
        switch (lock.tryAcquire(lockPath)) {
        case platform::RunLock::Acquire::Acquired:
            return {};
        case platform::RunLock::Acquire::Unusable:
            return fail(QStringLiteral("Nothing was restored: %1.").arg(lock.error()));
        case platform::RunLock::Acquire::Busy:
            if (keepWaiting && !keepWaiting())
                return fail(QStringLiteral("Nothing was restored: a backup is running."));
            QThread::msleep(200);
            break;
        }
    }
}

Result<QList<Entry>> currentTreeAt(const QString &destination, const QString &pointId, const QDateTime &latestFallback)
{
    const BackupHistory history(destination);
    const std::optional<Point> point = history.point(pointId, latestFallback);
    if (!point)
        return fail(QStringLiteral("Nothing was restored: the point '%1' is no longer in the backup '%2'.")
                        .arg(pointId, destination));
    return history.treeAt(*point);
}

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
        source.place = ClientPlace::forClient(client.toString(), cv::homeDirectory());
    const QFileInfo marker(cv::markerFilePath());
    if (marker.exists())
        source.lastBackup = marker.lastModified();
    return source;
}

} // namespace cv::history
