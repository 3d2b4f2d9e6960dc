// CVEngine: one backup per start. Started by cron (without a desktop
// session) or by the configurator's Run Now.
#include "AppController.h"
#include "Home.h"
#include "Log.h"
#include "ProgressBubble.h"
#include "SessionEnvironment.h"
#include "TerminationSignals.h"
#include "Workspace.h"

#include <QApplication>
#include <QDBusConnection>
#include <QTimer>

#include <cstdlib>
#include <memory>
#include <utility>

namespace {

// Qt tries the platforms in order; "offscreen" last lets a run without a
// usable display go on without a window instead of aborting.
void choosePlatform()
{
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return;
    QByteArray platforms;
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        platforms += "wayland;";
    if (!qEnvironmentVariableIsEmpty("DISPLAY"))
        platforms += "xcb;";
    platforms += "offscreen";
    qputenv("QT_QPA_PLATFORM", platforms);
}

// The controller whose run the exit hook ends. Qt's window system plugins
// call exit() themselves when the display connection breaks (the X server
// died, the session ended), from inside the event loop: nothing after
// app.exec() runs then, so only an exit handler can still stop the script.
// A plain pointer, because a C exit handler takes no argument.
cv::engine::AppController *g_controllerOfRun = nullptr;

void endRunAtExit()
{
    if (auto *controller = std::exchange(g_controllerOfRun, nullptr))
        controller->endBeforeExit();
}

bool hasDisplay()
{
    const QString name = QGuiApplication::platformName();
    return name != QLatin1String("offscreen") && name != QLatin1String("minimal");
}

} // namespace

int main(int argc, char **argv)
{
    // The log from the very first line: what the session file's loader and
    // the platform say at start-up (no display, no runtime folder) belongs in
    // it, not in cron's mail.
    cv::platform::reopenStandardError(cv::logFilePath());
    cv::platform::loadSessionEnvironment(cv::sessionFilePath());
    cv::platform::ensureSessionBusAddress();
    choosePlatform();

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("CVEngine"));
    QApplication::setQuitOnLastWindowClosed(false);

    const auto quit = [](int status) { QCoreApplication::exit(status); };
    cv::engine::AppController controller;
    controller.setTerminateHandler(quit);

    // Without a usable display the run goes on without a window, and a
    // failed run ends after its log line instead of waiting for a button
    // nobody can see.
    cv::platform::DesktopWorkspace workspace;
    std::unique_ptr<cv::engine::ProgressBubble> bubble;
    if (hasDisplay()) {
        bubble = std::make_unique<cv::engine::ProgressBubble>(workspace, quit);
        controller.setPresenter(bubble.get());
        // The failure notice's "Open Log" does what the bubble's button does.
        controller.runReport()->setOpenLogHandler([&bubble] { bubble->displayLogWindow(nullptr); });
    }

    // A logout, a shutdown or a kill ends the run as a failed one, with the
    // script's whole group stopped, rather than leaving the script behind.
    cv::engine::TerminationSignals terminationSignals;
    QObject::connect(&terminationSignals, &cv::engine::TerminationSignals::received, &controller,
                     &cv::engine::AppController::interrupt);

    // What the hook uses is set up before it is registered: exit handlers
    // run in the reverse order, so the bus is still there to post the
    // notification from the hook.
    QDBusConnection::sessionBus();
    // So are the time and locale data of a log line's prefix.
    cv::platform::logLinePrefix();
    g_controllerOfRun = &controller;
    std::atexit(endRunAtExit);

    // Start once the event loop runs, so that an early end can exit it.
    QTimer::singleShot(0, &controller, [&controller] { controller.awakeFromNib(); });
    const int status = app.exec();
    g_controllerOfRun = nullptr; // ended the ordinary way
    return status;
}
