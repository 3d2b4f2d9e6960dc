#include "CatchUpAgent.h"

#include "EngineLauncher.h"
#include "Home.h"
#include "Log.h"
#include "Names.h"
#include "PropertyList.h"

#include <QFileInfo>

namespace cv::agent {

using platform::NSLog;

CatchUpAgent::CatchUpAgent(const Clock &clock, configurator::EngineLauncher &launcher)
    : m_clock(clock)
    , m_launcher(launcher)
{
}

catchup::Decision CatchUpAgent::check()
{
    // Missing or unreadable settings: nothing is scheduled as far as we know.
    const QVariantMap settings = platform::readDictionaryFile(cv::defaultsFilePath()).value_or(QVariantMap());
    const catchup::SavedSchedule schedule = catchup::savedScheduleFrom(settings);

    std::optional<QDateTime> lastBackup;
    const QFileInfo marker(cv::markerFilePath()); // follows a link, as the configurator does
    if (marker.exists())
        lastBackup = marker.lastModified();

    const QString attemptPath = cv::supportFolder() + QLatin1String(names::kCatchUpAttemptFileName);
    const QDateTime now = m_clock.now();
    const catchup::Decision decision = catchup::decide(schedule, now, lastBackup, catchup::readAttempt(attemptPath));
    if (!decision.run())
        return decision;

    const QString missed = decision.scheduledTime.toString(Qt::ISODate);
    // Recorded before the start, so that no later look starts it again;
    // without a record every look would.
    if (!catchup::writeAttempt(attemptPath, decision.scheduledTime)) {
        NSLog(QStringLiteral("The backup missed at %1 was not caught up: '%2' could not be written.").arg(missed, attemptPath));
        return decision;
    }
    NSLog(QStringLiteral("Catching up the backup missed at %1; starting the backup engine.").arg(missed));
    QString whyNot;
    if (!m_launcher.launchApplication(cv::installedEnginePath(), whyNot))
        NSLog(QStringLiteral("Could not start the backup engine: %1").arg(whyNot));
    return decision;
}

} // namespace cv::agent
