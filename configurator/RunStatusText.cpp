#include "RunStatusText.h"

#include "PropertyList.h"
#include "StatusText.h"

namespace cv::configurator {

std::optional<LastRun> readLastRun(const QString &path)
{
    const auto dictionary = platform::readDictionaryFile(path);
    if (!dictionary)
        return std::nullopt;
    return LastRun::fromDictionary(*dictionary);
}

QString runWarningText(const std::optional<LastRun> &lastRun, const std::optional<QDateTime> &lastBackup,
                       const catchup::SavedSchedule &schedule, const QDateTime &now, int formatIndex)
{
    QStringList lines;
    if (lastRun && !lastRun->succeeded && (!lastBackup || lastRun->time > *lastBackup)) {
        QString reason = lastRun->reason.simplified();
        if (reason.isEmpty())
            reason = QStringLiteral("see the log for the reason.");
        lines << QStringLiteral("Last run failed on %1: %2").arg(formatLastBackup(lastRun->time, formatIndex), reason);
    }
    // Only a schedule that runs by itself makes a promise to keep; with no
    // backup ever made there is no date to be late against.
    if (schedule.firesByItself() && lastBackup) {
        const qint64 allowed = 2LL * catchup::longestGapInDays(schedule.days) * 24 * 3600;
        if (lastBackup->secsTo(now) > allowed)
            lines << QStringLiteral("Backups are overdue.");
    }
    return lines.join(QLatin1Char('\n'));
}

} // namespace cv::configurator
