#include "StatusText.h"

#include "Names.h"

#include <QFileInfo>

namespace cv::configurator {

QString configuredSentence(const QString &client, const DayFlags &days, const QTime &time)
{
    return QString::fromUtf8(names::kConfiguredScheduleFormat)
        .replace(QLatin1String("%@ on %@ at %@"),
                 client + QLatin1String(" on ") + getStringForDays(days) + QLatin1String(" at ") + displayTime(time));
}

QString runNowOnlySentence(const QString &client)
{
    return QString::fromUtf8(names::kConfiguredRunNowFormat).replace(QLatin1String("%@"), client);
}

const QStringList &dateFormatTitles()
{
    static const QStringList titles{
        QStringLiteral("DD/MM/YY with 12hr clock"),
        QStringLiteral("DD/MM/YY with 24hr clock"),
        QStringLiteral("MM/DD/YY with 12hr clock"),
        QStringLiteral("MM/DD/YY with 24hr clock"),
    };
    return titles;
}

int getDateFormat(const QString &storedTitle)
{
    // Until the preferences are first opened nothing is stored; the line must
    // then read as the menu will show it: "MM/DD/YY with 24hr clock".
    const int index = int(dateFormatTitles().indexOf(storedTitle));
    return index < 0 ? kDefaultDateFormat : index;
}

QString formatLastBackup(const QDateTime &when, int formatIndex)
{
    const QDateTime local = when.toLocalTime();
    const QTime t = local.time();
    const QString day = QStringLiteral("%1").arg(local.date().day(), 2, 10, QLatin1Char('0'));
    const QString month = QStringLiteral("%1").arg(local.date().month(), 2, 10, QLatin1Char('0'));
    const QString year = QString::number(local.date().year());
    const QString clock24 = QStringLiteral("%1:%2").arg(t.hour(), 2, 10, QLatin1Char('0')).arg(t.minute(), 2, 10, QLatin1Char('0'));
    switch (formatIndex) {
    case 1: return day + QLatin1Char('/') + month + QLatin1Char('/') + year + QLatin1String(" at ") + clock24;
    case 2: return month + QLatin1Char('/') + day + QLatin1Char('/') + year + QLatin1String(" at ") + displayTime(t);
    case 3: return month + QLatin1Char('/') + day + QLatin1Char('/') + year + QLatin1String(" at ") + clock24;
    default: return day + QLatin1Char('/') + month + QLatin1Char('/') + year + QLatin1String(" at ") + displayTime(t);
    }
}

std::optional<QDateTime> lastBackupTime(const QString &markerPath)
{
    // QFileInfo follows a symbolic link for the time, as the line should.
    const QFileInfo info(markerPath);
    if (!info.exists())
        return std::nullopt;
    const QDateTime modified = info.lastModified();
    if (!modified.isValid())
        return std::nullopt;
    return modified;
}

QString lastBackupText(const QString &markerPath, int formatIndex)
{
    const auto when = lastBackupTime(markerPath);
    return when ? formatLastBackup(*when, formatIndex) : QStringLiteral("Unknown");
}

} // namespace cv::configurator
