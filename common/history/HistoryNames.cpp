#include "HistoryNames.h"

#include "Settings.h"

#include <QRegularExpression>

namespace cv::history {

HistorySettings HistorySettings::fromDefaults(const QVariantMap &defaults)
{
    HistorySettings settings;
    const QVariant enabled = defaults.value(QLatin1String(settings::kVersionsEnabled));
    if (enabled.typeId() == QMetaType::Bool)
        settings.enabled = enabled.toBool();
    const QVariant days = defaults.value(QLatin1String(settings::kKeepVersions));
    if (days.typeId() == QMetaType::LongLong || days.typeId() == QMetaType::Int) {
        const qlonglong value = days.toLongLong();
        if (value >= 0 && value <= 100 * 366)
            settings.keepDays = int(value);
    }
    return settings;
}

QString stampForTime(const QDateTime &localTime)
{
    return localTime.toLocalTime().toString(QStringLiteral("yyyy-MM-dd-HHmmss"));
}

std::optional<QDateTime> timeOfStamp(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}-\\d{6}$"));
    if (!pattern.match(name).hasMatch())
        return std::nullopt;
    QDateTime time = QDateTime::fromString(name, QStringLiteral("yyyy-MM-dd-HHmmss"));
    if (!time.isValid())
        return std::nullopt;
    return time;
}

QString versionsRoot(const QString &destination)
{
    QString root = destination;
    while (root.size() > 1 && root.endsWith(QLatin1Char('/')))
        root.chop(1);
    return root + QLatin1Char('/') + QLatin1String(format::kVersionsFolder);
}

QString versionsFolderForRun(const QString &destination, const QDateTime &start)
{
    return versionsRoot(destination) + QLatin1Char('/') + stampForTime(start);
}

} // namespace cv::history
