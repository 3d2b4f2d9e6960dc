// CVEngine: one backup per start. Started by cron (without a desktop
// session) or by the configurator's Run Now.
#include "AppController.h"
#include "Home.h"
#include "SessionEnvironment.h"

#include <QApplication>
#include <QTimer>

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

bool hasDisplay()
{
    const QString name = QGuiApplication::platformName();
    return name != QLatin1String("offscreen") && name != QLatin1String("minimal");
}

} // namespace

int main(int argc, char **argv)
{
    cv::platform::loadSessionEnvironment(cv::sessionFilePath());
    cv::platform::ensureSessionBusAddress();
    choosePlatform();

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("CVEngine"));
    QApplication::setQuitOnLastWindowClosed(false);

    cv::engine::AppController controller;
    controller.setTerminateHandler([](int status) { QCoreApplication::exit(status); });
    (void)hasDisplay; // the progress bubble is attached here when a display is usable

    // Start once the event loop runs, so that an early end can exit it.
    QTimer::singleShot(0, &controller, [&controller] { controller.awakeFromNib(); });
    return app.exec();
}
