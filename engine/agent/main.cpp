// CVAgent: started at login, looks for a missed scheduled backup at start
// and every 15 minutes after, and starts the engine for one. Qt Core only and
// idle between looks, so that it costs next to nothing all day.
#include "CatchUpAgent.h"
#include "EngineLauncher.h"
#include "Home.h"
#include "Log.h"
#include "Names.h"
#include "OffsiteLaunch.h"
#include "OffsiteRecord.h"
#include "RunLock.h"

#include <QCoreApplication>
#include <QTimer>

int main(int argc, char **argv)
{
    cv::platform::reopenStandardError(cv::logFilePath());
    // One agent per user: a second start (a second login, a manual start)
    // leaves quietly.
    cv::platform::RunLock single;
    switch (single.tryAcquire(cv::supportFolder() + QLatin1String(cv::names::kAgentLockFileName))) {
    case cv::platform::RunLock::Acquire::Acquired:
        break;
    case cv::platform::RunLock::Acquire::Busy:
        return 0;
    case cv::platform::RunLock::Acquire::Unusable:
        cv::platform::NSLog(QStringLiteral("Catch-up agent not started: %1.").arg(single.error()));
        return 1;
    }

    // The plain event loop: no GLib sources that could wake us between looks.
    const bool setNoGlib = qEnvironmentVariableIsEmpty("QT_NO_GLIB");
    if (setNoGlib)
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    if (setNoGlib)
        qunsetenv("QT_NO_GLIB"); // not handed on to the engine

    cv::agent::SystemClock clock;
    cv::configurator::BundleEngineLauncher launcher;
    cv::agent::CatchUpAgent agent(clock, launcher);

    QTimer timer;
    timer.setTimerType(Qt::VeryCoarseTimer);
    timer.setInterval(cv::agent::CatchUpAgent::kCheckInterval);
    // Each look also retries an off-site copy that failed or waited for a
    // session (its Secret Service); CVOffsite itself skips when one runs.
    const auto look = [&agent] {
        agent.check();
        QString error;
        if (cv::offsite::offsiteEnabled(cv::defaultsFilePath())
            && cv::offsite::offsiteAttemptDue(cv::supportFolder() + QLatin1String(cv::offsite::kRecordFileName))
            && !cv::offsite::startOffsiteSender(QCoreApplication::applicationDirPath(), &error))
            cv::platform::NSLog(QStringLiteral("The off-site copy could not be started: %1.").arg(error));
    };
    QObject::connect(&timer, &QTimer::timeout, &app, look);
    timer.start();
    QTimer::singleShot(0, &app, look);
    return app.exec();
}
