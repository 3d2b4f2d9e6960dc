// The configurator: one window in which the backup schedule is edited.
#include "CommandLine.h"
#include "Controller.h"
#include "PropertyList.h"
#include "ScreenFrame.h"
#include "SingleInstance.h"

#include <QApplication>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QMainWindow>

namespace {

// Top-level windows cannot place themselves on Wayland, and the bubbles must
// sit beside what they point at. Where the session also offers an X display
// (XWayland), run there, unless the user chose a platform.
void preferXUnderWayland()
{
    const bool wayland = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        || qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland");
    if (wayland && !qEnvironmentVariableIsEmpty("DISPLAY") && !qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "xcb");
}

// The desktop knows the program by its entry (com.tallowmere.Corvantis.desktop,
// whose StartupWMClass is the window class "Corvantis") and shows its icon.
void identifyToTheDesktop()
{
    QApplication::setApplicationName(QStringLiteral("Corvantis"));
    QGuiApplication::setDesktopFileName(QStringLiteral("com.tallowmere.Corvantis"));
    const QString contents = cv::configurator::windows::bundleContentsFolder();
    const auto info = cv::platform::readDictionaryFile(contents + QStringLiteral("/Info.plist"));
    const QString iconFile = info ? info->value(QStringLiteral("CFBundleIconFile")).toString() : QString();
    const QImage picture(contents + QStringLiteral("/Resources/") + iconFile);
    if (iconFile.isEmpty() || picture.isNull())
        return;
    // The sizes title bars and task switchers ask for. The full picture alone
    // makes a window property too large for the X server to take.
    QIcon icon;
    for (const int side : {16, 24, 32, 48, 64, 128})
        icon.addPixmap(QPixmap::fromImage(picture.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
    QApplication::setWindowIcon(icon);
}

} // namespace

int main(int argc, char **argv)
{
    QList<QByteArray> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QByteArray(argv[i]));
    const cv::cli::Request request = cv::cli::parseArguments(arguments);
    if (request.mode != cv::cli::Mode::Window || !request.problem.isEmpty()) {
        // No display needed, and none opened.
        QCoreApplication app(argc, argv);
        return cv::cli::run(request);
    }
    preferXUnderWayland();
    QApplication app(argc, argv);
    cv::cli::SingleInstance single(cv::cli::SingleInstance::serverName());
    if (single.askRunningToRaise())
        return 0;
    identifyToTheDesktop();
    QApplication::setQuitOnLastWindowClosed(false);
    cv::configurator::Controller controller;
    controller.awakeFromNib();
    QMainWindow *window = controller.getMainWindow();
    single.listen([window] {
        window->show();
        window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
        window->raise();
        window->activateWindow();
    });
    window->show();
    return app.exec();
}
