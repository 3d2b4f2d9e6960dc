// CVOffsite: started by the engine after a successful run has been announced
// (and by the catch-up agent for one still waiting), sends the backup folder
// to the off-site restic repository once, records the outcome and ends.
// Qt Core only; restic does the heavy work in its own process.
#include "Home.h"
#include "DesktopNotifier.h"
#include "Log.h"
#include "OffsiteSender.h"
#include "SecretStore.h"
#include "SessionEnvironment.h"
#include "TerminationSignals.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QProcess>
#include <QTimer>

#include <unistd.h>

namespace {

// How long a failure's notice can still open the log after the attempt.
constexpr std::chrono::minutes kNoticeLinger{5};

} // namespace

int main(int argc, char **argv)
{
    // A group and session of its own: the engine's end, a signal to the
    // engine's group or the next local run never reach the upload.
    ::setsid();
    cv::platform::reopenStandardError(cv::logFilePath());
    cv::platform::loadSessionEnvironment(cv::sessionFilePath());
    cv::platform::ensureSessionBusAddress();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QString::fromLatin1(cv::offsite::kExecutableName));

    cv::offsite::LibsecretStore secrets;
    cv::platform::FreedesktopNotifier notifier;
    cv::offsite::OffsiteSender sender(secrets, QStringLiteral("restic"));
    sender.setLog([](const QString &line) { cv::platform::NSLog(line); });
    sender.setNotifier(&notifier);
    sender.setOpenLogHandler([] {
        QProcess::startDetached(QStringLiteral("xdg-open"), {cv::logFilePath()});
        QCoreApplication::quit();
    });

    // SIGTERM, SIGINT or a logout's SIGHUP: restic is asked to end, removes
    // its lock and the attempt is recorded as interrupted.
    cv::engine::TerminationSignals termination;
    bool ended = false;
    bool sending = false;
    QObject::connect(&termination, &cv::engine::TerminationSignals::received, &app, [&](int) {
        ended = true;
        if (sending)
            sender.interrupt(); // send() returns once restic has ended, then we exit
        else
            QCoreApplication::quit();
    });

    QTimer::singleShot(0, &app, [&] {
        const auto settings = cv::offsite::SendSettings::read(cv::defaultsFilePath(), cv::configFilePath());
        sending = true;
        const auto outcome = sender.send(settings, QDateTime::currentDateTime());
        sending = false;
        if (outcome == cv::offsite::OffsiteSender::Outcome::Failed && sender.noticeId() != 0 && !ended)
            QTimer::singleShot(kNoticeLinger, &app, &QCoreApplication::quit);
        else
            QCoreApplication::exit(outcome == cv::offsite::OffsiteSender::Outcome::Failed ? 1 : 0);
    });
    return app.exec();
}
