#include "OffsiteRecord.h"

#include "Home.h"
#include "PropertyList.h"

#include <QFileInfo>

#include <cmath>
#include <csignal>
#include <cerrno>

namespace cv::offsite {

namespace {

std::optional<QDateTime> dateValue(const QVariantMap &dictionary, const char *key)
{
    const QVariant value = dictionary.value(QLatin1String(key));
    if (value.typeId() != QMetaType::QDateTime || !value.toDateTime().isValid())
        return std::nullopt;
    return value.toDateTime();
}

qint64 integerValue(const QVariantMap &dictionary, const char *key)
{
    const QVariant value = dictionary.value(QLatin1String(key));
    return value.typeId() == QMetaType::LongLong ? value.toLongLong() : 0;
}

} // namespace

QVariantMap OffsiteRecord::toDictionary() const
{
    QVariantMap dictionary{{QStringLiteral("Succeeded"), succeeded},
                           {QStringLiteral("BytesAdded"), qlonglong(bytesAdded)},
                           {QStringLiteral("Pending"), pending},
                           {QStringLiteral("NextCheckSlice"), qlonglong(nextCheckSlice)}};
    if (time)
        dictionary.insert(QStringLiteral("Time"), *time);
    if (!reason.isEmpty())
        dictionary.insert(QStringLiteral("Reason"), reason);
    if (!snapshotId.isEmpty())
        dictionary.insert(QStringLiteral("SnapshotID"), snapshotId);
    if (lastForget)
        dictionary.insert(QStringLiteral("LastForget"), *lastForget);
    if (lastCheck)
        dictionary.insert(QStringLiteral("LastCheck"), *lastCheck);
    return dictionary;
}

OffsiteRecord OffsiteRecord::fromDictionary(const QVariantMap &dictionary)
{
    OffsiteRecord record;
    record.time = dateValue(dictionary, "Time");
    record.succeeded = dictionary.value(QStringLiteral("Succeeded")).typeId() == QMetaType::Bool
        && dictionary.value(QStringLiteral("Succeeded")).toBool();
    record.pending = dictionary.value(QStringLiteral("Pending")).typeId() == QMetaType::Bool
        && dictionary.value(QStringLiteral("Pending")).toBool();
    record.reason = dictionary.value(QStringLiteral("Reason")).toString();
    record.bytesAdded = integerValue(dictionary, "BytesAdded");
    record.snapshotId = dictionary.value(QStringLiteral("SnapshotID")).toString();
    record.lastForget = dateValue(dictionary, "LastForget");
    record.lastCheck = dateValue(dictionary, "LastCheck");
    const qint64 slice = integerValue(dictionary, "NextCheckSlice");
    record.nextCheckSlice = slice >= 1 && slice <= 12 ? int(slice) : 1;
    return record;
}

OffsiteRecord OffsiteRecord::read(const QString &path)
{
    const auto dictionary = platform::readDictionaryFile(path);
    return dictionary ? fromDictionary(*dictionary) : OffsiteRecord{};
}

bool OffsiteRecord::write(const QString &path) const
{
    return platform::writeDictionaryXmlAtomically(path, toDictionary());
}

QVariantMap OffsiteProgress::toDictionary() const
{
    return {{QStringLiteral("PID"), qlonglong(pid)},
            {QStringLiteral("BytesDone"), qlonglong(bytesDone)},
            {QStringLiteral("TotalBytes"), qlonglong(totalBytes)},
            {QStringLiteral("Fraction"), fraction}};
}

std::optional<OffsiteProgress> OffsiteProgress::readLive(const QString &path)
{
    const auto dictionary = platform::readDictionaryFile(path);
    if (!dictionary)
        return std::nullopt;
    OffsiteProgress progress;
    progress.pid = integerValue(*dictionary, "PID");
    progress.bytesDone = integerValue(*dictionary, "BytesDone");
    progress.totalBytes = integerValue(*dictionary, "TotalBytes");
    progress.fraction = std::clamp(dictionary->value(QStringLiteral("Fraction")).toDouble(), 0.0, 1.0);
    // A sender that was killed leaves its file behind: only a live one counts.
    if (progress.pid <= 0 || (::kill(pid_t(progress.pid), 0) != 0 && errno == ESRCH))
        return std::nullopt;
    return progress;
}

QString byteCountText(qint64 bytes)
{
    if (bytes < 1000 * 1000 * 1000)
        return QStringLiteral("%1 MB").arg(std::llround(double(bytes) / 1e6));
    return QStringLiteral("%1 GB").arg(double(bytes) / 1e9, 0, 'f', 1);
}

QString offsiteLineText(bool enabled, const OffsiteRecord &record, const std::optional<OffsiteProgress> &progress,
                        const std::function<QString(const QDateTime &)> &formatDate)
{
    if (progress) {
        return QStringLiteral("Sending off-site: %1 % (%2 of %3)")
            .arg(int(std::floor(progress->fraction * 100)))
            .arg(byteCountText(progress->bytesDone), byteCountText(progress->totalBytes));
    }
    if (!enabled || !record.time)
        return {};
    if (record.succeeded)
        return QStringLiteral("Off-site copy: %1").arg(formatDate(*record.time));
    return QStringLiteral("Off-site copy failed on %1: %2").arg(formatDate(*record.time), record.reason);
}

QString recordPath() { return cv::supportFolder() + QLatin1String(kRecordFileName); }
QString progressPath() { return cv::supportFolder() + QLatin1String(kProgressFileName); }
QString lockPath() { return cv::supportFolder() + QLatin1String(kLockFileName); }

} // namespace cv::offsite
