#include "OffsiteLaunch.h"

#include "OffsiteRecord.h"
#include "PropertyList.h"

#include <QProcess>

namespace cv::offsite {

bool offsiteEnabled(const QString &defaultsPath)
{
    const auto defaults = platform::readDictionaryFile(defaultsPath);
    const QVariant value = defaults ? defaults->value(QLatin1String(kEnabledKey)) : QVariant();
    return value.typeId() == QMetaType::Bool && value.toBool();
}

bool offsiteAttemptDue(const QString &recordPath)
{
    const auto record = platform::readDictionaryFile(recordPath);
    if (!record)
        return false; // never tried: the next successful run sends
    const QVariant pending = record->value(QStringLiteral("Pending"));
    const QVariant succeeded = record->value(QStringLiteral("Succeeded"));
    return (pending.typeId() == QMetaType::Bool && pending.toBool())
        || (succeeded.typeId() == QMetaType::Bool && !succeeded.toBool());
}

cv::Result<void> startOffsiteSender(const QString &programFolder)
{
    QProcess process;
    process.setProgram(programFolder + QLatin1Char('/') + QLatin1String(kExecutableName));
    process.setStandardInputFile(QProcess::nullDevice());
    if (!process.startDetached())
        return cv::fail(process.errorString());
    return {};
}

} // namespace cv::offsite
