// CVAgent: started at login, looks for a missed scheduled backup at start
// and every 15 minutes after, and starts the engine for one. It also keeps
// the failure notice of the last run on the screen, told by each engine as
// its run ends ("--run-ended" when an engine had to start it). Qt Core and
// the session bus only, and idle between looks, so that it costs next to
// nothing all day.
#include "AgentLink.h"
#include "CatchUpAgent.h"
#include "DesktopNotifier.h"
#include "EngineLauncher.h"
#include "Home.h"
#include "Log.h"
#include "Names.h"
#include "NoticeKeeper.h"
#include "PropertyList.h"
#include "OffsiteLaunch.h"
#include "OffsiteRecord.h"
#include "RunLock.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <QTimer>

#include <optional>

#include <unistd.h>

namespace {

// The agent's pid in its lock file, for whoever must find it (the tests).
void recordPid(int fd)
{
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.constData(), size_t(pid.size()), 0) != pid.size())
        cv::platform::NSLog(QStringLiteral("Could not record the catch-up agent's process id."));
}

// Another agent holds the lock: it may still be setting up its socket.
int handOverRunEnded()
{
    QDeadlineTimer deadline(3000);
    while (!cv::AgentLink::tellRunEnded()) {
        if (deadline.hasExpired()) {
            cv::platform::NSLog(QStringLiteral("The catch-up agent did not take the end of the run; no notice was shown."));
            return 1;
        }
        QThread::msleep(50);
    }
    return 0;
}

// Nothing to catch up and no notice to keep: the agent is not needed.
bool needed(const cv::agent::NoticeKeeper &notices)
{
    if (notices.failureShown())
        return true;
    if (!QFileInfo(cv::supportFolder()).isDir())
        return false; // the home is gone
    const auto settings = cv::platform::readDictionaryFile(cv::defaultsFilePath()).value_or(QVariantMap());
    const cv::catchup::SavedSchedule schedule = cv::catchup::savedScheduleFrom(settings);
    return schedule.catchUpWanted && schedule.firesByItself();
}

// One agent per user: a second start (a second login, a manual start)
// leaves quietly, handing on what it was started for. None when this one is
// the agent, else the exit status.
std::optional<int> becomeTheAgent(cv::platform::RunLock &single, bool runEnded)
{
    switch (single.tryAcquire(cv::supportFolder() + QLatin1String(cv::names::kAgentLockFileName))) {
    case cv::platform::RunLock::Acquire::Acquired:
        recordPid(single.descriptor());
        return std::nullopt;
    case cv::platform::RunLock::Acquire::Busy:
        return runEnded ? handOverRunEnded() : 0;
    case cv::platform::RunLock::Acquire::Unusable:
        break;
    }
    cv::platform::NSLog(QStringLiteral("Catch-up agent not started: %1.").arg(single.error()));
    return 1;
}

// Each look also retries an off-site copy that failed or waited for a
// session (its Secret Service); CVOffsite itself skips when one runs.
void retryOffsiteCopy()
{
    if (!cv::offsite::offsiteEnabled(cv::defaultsFilePath())
        || !cv::offsite::offsiteAttemptDue(cv::supportFolder() + QLatin1String(cv::offsite::kRecordFileName)))
        return;
    if (const cv::Result<void> started = cv::offsite::startOffsiteSender(QCoreApplication::applicationDirPath()); !started)
        cv::platform::NSLog(QStringLiteral("The off-site copy could not be started: %1.").arg(started.reason()));
}

void openLog()
{
    // The desktop's own viewer for text files.
    if (!QProcess::startDetached(QStringLiteral("xdg-open"), {cv::logFilePath()}))
        cv::platform::NSLog(QStringLiteral("Could not open the log: xdg-open could not be started."));
}

} // namespace

int main(int argc, char **argv)
{
    cv::platform::reopenStandardError(cv::logFilePath());
    const bool runEnded = argc > 1 && qstrcmp(argv[1], "--run-ended") == 0;
    cv::platform::RunLock single;
    if (const std::optional<int> status = becomeTheAgent(single, runEnded))
        return *status;

    // The plain event loop: no GLib sources that could wake us between looks.
    const bool setNoGlib = qEnvironmentVariableIsEmpty("QT_NO_GLIB");
    if (setNoGlib)
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    if (setNoGlib)
        qunsetenv("QT_NO_GLIB"); // not handed on to the engine

    // An engine started by cron outside any session (or one whose session
    // has ended) has no desktop to show its end on: an agent staying there
    // would take the word of every later run away from the next session.
    if (runEnded && !QDBusConnection::sessionBus().isConnected()) {
        cv::platform::NSLog(QStringLiteral("No desktop session to show the end of the run in; the catch-up agent leaves."));
        return 0;
    }

    cv::AgentLink link;
    if (const cv::Result<void> listening = link.listen(); !listening)
        cv::platform::NSLog(QStringLiteral("The catch-up agent cannot hear of ended runs (%1); engines show their own "
                                           "notices.")
                                .arg(listening.reason()));
    cv::platform::FreedesktopNotifier notifier;
    cv::agent::NoticeKeeper notices(notifier, openLog);
    cv::agent::SystemClock clock;
    cv::platform::BundleEngineLauncher launcher;
    cv::agent::CatchUpAgent agent(clock, launcher, &notices);

    const auto look = [&] {
        agent.check();
        retryOffsiteCopy();
        if (!needed(notices))
            app.quit();
    };
    QObject::connect(&link, &cv::AgentLink::runEnded, &notices, &cv::agent::NoticeKeeper::runEnded);
    QObject::connect(&notices, &cv::agent::NoticeKeeper::failureGone, &app, [&] {
        if (!needed(notices))
            app.quit();
    });
    QTimer timer;
    timer.setTimerType(Qt::VeryCoarseTimer);
    timer.setInterval(cv::agent::CatchUpAgent::kCheckInterval);
    QObject::connect(&timer, &QTimer::timeout, &app, look);
    timer.start();
    QTimer::singleShot(0, &app, [&] {
        if (runEnded)
            notices.runEnded();
        look();
    });
    return app.exec();
}
