#include "LastRun.h"

namespace cv {

namespace {
const QString kTime = QStringLiteral("Time");
const QString kSucceeded = QStringLiteral("Succeeded");
const QString kReason = QStringLiteral("Reason");
const QString kDuration = QStringLiteral("Duration");
} // namespace

QVariantMap LastRun::toDictionary() const
{
    QVariantMap d{{kTime, time}, {kSucceeded, succeeded}, {kDuration, durationSeconds}};
    if (!succeeded)
        d.insert(kReason, reason);
    return d;
}

std::optional<LastRun> LastRun::fromDictionary(const QVariantMap &d)
{
    const QVariant time = d.value(kTime);
    const QVariant succeeded = d.value(kSucceeded);
    if (time.typeId() != QMetaType::QDateTime || !time.toDateTime().isValid() || succeeded.typeId() != QMetaType::Bool)
        return std::nullopt;
    LastRun run;
    run.time = time.toDateTime();
    run.succeeded = succeeded.toBool();
    if (d.value(kReason).typeId() == QMetaType::QString)
        run.reason = d.value(kReason).toString();
    if (d.value(kDuration).canConvert<double>())
        run.durationSeconds = d.value(kDuration).toDouble();
    return run;
}

} // namespace cv
