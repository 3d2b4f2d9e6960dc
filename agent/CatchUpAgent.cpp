#include "CatchUpAgent.h"

#include "EngineLauncher.h"
#include "Home.h"
#include "LastRun.h"
#include "LockProbe.h"
#include "Log.h"
#include "Names.h"
#include "NoticeKeeper.h"
#include "PropertyList.h"

#include <QFile>
#include <QFileInfo>

namespace cv::agent {

using platform::NSLog;

namespace {

QString attemptPath() { return cv::supportFolder() + QLatin1String(names::kCatchUpAttemptFileName); }
QString missedPath() { return cv::supportFolder() + QLatin1String(names::kCatchUpMissedFileName); }

// Verdicts that looked at the marker and the records.
bool readRecords(catchup::Verdict verdict)
{
    using catchup::Verdict;
    return verdict == Verdict::Run || verdict == Verdict::BackedUpSince || verdict == Verdict::AlreadyAttempted
        || verdict == Verdict::FutureRecord;
}

} // namespace

CatchUpAgent::CatchUpAgent(const Clock &clock, platform::EngineLauncher &launcher, NoticeKeeper *notices)
    : m_clock(clock)
    , m_launcher(launcher)
    , m_notices(notices)
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

    const catchup::TimeRecord attempt = catchup::readTimeRecord(attemptPath());
    const catchup::TimeRecord missed = catchup::readTimeRecord(missedPath());
    const QDateTime now = m_clock.now();
    catchup::Decision decision = catchup::decide(schedule, now, lastBackup, attempt.time, missed.time);
    if (!readRecords(decision.verdict))
        return decision;

    // A record that cannot be read could hold any time: starting a run on
    // that guess would start one at every look.
    for (const auto &[record, path] : {std::pair{&attempt, attemptPath()}, std::pair{&missed, missedPath()}}) {
        if (record->state == catchup::TimeRecord::State::Unusable) {
            decision.verdict = catchup::Verdict::UnusableRecord;
            stopped(QStringLiteral("'%1' %2.").arg(path, record->problem));
            return decision;
        }
    }
    if (decision.verdict == catchup::Verdict::FutureRecord) {
        // Which one: the marker first, as the record that says most.
        const auto ahead = [&now](const std::optional<QDateTime> &t) { return t && *t > now; };
        const QString path = ahead(lastBackup) ? cv::markerFilePath()
            : ahead(attempt.time)              ? attemptPath()
                                               : missedPath();
        stopped(QStringLiteral("'%1' is dated after now (%2); check the clock.").arg(path, now.toString(Qt::ISODate)));
        return decision;
    }
    if (!decision.run())
        return decision;

    const QString missedAt = decision.scheduledTime.toString(Qt::ISODate);
    if (lockHeld(cv::runLockPath())) {
        // The attempt is kept for the next look, after that run.
        NSLog(QStringLiteral("A backup is running; the backup missed at %1 is caught up at a later look.").arg(missedAt));
        decision.verdict = catchup::Verdict::RunInProgress;
        return decision;
    }
    start(decision, attempt);
    return decision;
}

bool CatchUpAgent::start(const catchup::Decision &decision, const catchup::TimeRecord &previous)
{
    const QString missedAt = decision.scheduledTime.toString(Qt::ISODate);
    // Recorded before the start, so that no later look starts it again even
    // when the record cannot be written afterwards; without a record every
    // look would.
    if (const cv::Result<> written = catchup::writeAttempt(attemptPath(), decision.scheduledTime); !written) {
        stopped(QStringLiteral("'%1' could not be written: %2.").arg(attemptPath(), written.reason()));
        return false;
    }
    NSLog(QStringLiteral("Catching up the backup missed at %1; starting the backup engine.").arg(missedAt));
    const cv::Result<qint64> engine = m_launcher.launchApplication(cv::installedEnginePath());
    if (engine)
        return true;

    // No engine ran: the attempt is not spent, and the next look tries again.
    const cv::Result<> undone = previous.time ? catchup::writeAttempt(attemptPath(), *previous.time)
        : QFile::remove(attemptPath()) || !QFile::exists(attemptPath()) ? cv::Result<>()
                                                                        : cv::fail(QStringLiteral("it cannot be removed"));
    if (!undone)
        NSLog(QStringLiteral("'%1' could not be put back, so the next look does not try again: %2.")
                  .arg(attemptPath(), undone.reason()));
    const QString reason = QStringLiteral("The backup engine could not be started: %1").arg(engine.reason());
    NSLog(reason);
    if (std::exchange(m_failedToStartFor, decision.scheduledTime) == decision.scheduledTime)
        return false; // recorded and shown at an earlier look
    LastRun run;
    run.time = m_clock.now();
    run.reason = reason;
    const QString record = cv::supportFolder() + QLatin1String(names::kLastRunFileName);
    if (!platform::writeDictionaryXmlAtomically(record, run.toDictionary()))
        NSLog(QStringLiteral("Could not record the outcome of this run in '%1'.").arg(record));
    if (m_notices)
        m_notices->showFailure(reason);
    return false;
}

void CatchUpAgent::stopped(const QString &why)
{
    NSLog(QStringLiteral("Missed backups are not caught up: %1").arg(why));
    if (m_notices)
        m_notices->showProblem(why, m_clock.now().date());
}

} // namespace cv::agent
