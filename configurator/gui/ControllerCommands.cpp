// The controller's commands: the menu items that act at once (Run Now, the
// links, the about box, the preferences, earlier versions, the log) and quitting.
#include "Controller.h"
#include "ControllerTexts.h"

#include "ui_MainWindow.h"

#include "EngineLauncher.h"
#include "EngineWatch.h"
#include "Home.h"
#include "Log.h"
#include "MailLinks.h"
#include "MyPrefsWindowController.h"
#include "Names.h"
#include "PropertyList.h"
#include "RestoreSession.h"
#include "RestoreWindow.h"
#include "TMAboutBox.h"
#include "UserDefaults.h"
#include "Workspace.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMainWindow>

namespace cv::configurator {

using namespace detail;

// Commands ------------------------------------------------------------------

void Controller::runNow(QObject *)
{
    mainWindow->showMinimized();
    const cv::Result<qint64> engine = m_launcher->launchApplication(cv::installedEnginePath());
    if (engine) {
        m_engineWatch->watch(*engine);
        return;
    }
    const QString whyNot = engine.reason();
    // Nothing would ever bring the window back: no engine, no completion.
    platform::NSLog(QStringLiteral("Could not start the backup engine: %1").arg(whyNot));
    mainWindow->setWindowState(mainWindow->windowState() & ~Qt::WindowMinimized);
    mainWindow->showNormal();
    m_dialogs->showAlert(QStringLiteral("Run Now Error"),
                         QStringLiteral("The backup engine could not be started.\n%1").arg(whyNot));
}

void Controller::visitWebPageAction(QObject *) { m_workspace->openURL(homePageUrl()); }
void Controller::sendFeedback(QObject *) { m_workspace->openURL(feedbackUrl()); }

void Controller::sendBugReport(QObject *)
{
    m_workspace->openURL(bugReportUrl(readCrontabListing(m_services.crontabProgram)));
}

void Controller::checkForUpdates(QObject *sender) { _SUUpdater->checkForUpdates(sender); }

void Controller::configureAboutBox()
{
    const QString contents = QDir(m_services.resourcesFolder + QStringLiteral("/..")).absolutePath();
    const auto info = platform::readDictionaryFile(contents + QStringLiteral("/Info.plist")).value_or(QVariantMap());
    const QString text = QStringLiteral("Version %1 (Build %2)\n\nRequires supported email client:\nMicrosoft Entourage v.X or "
                                        "later, Outlook 2011, Apple Mail, Eudora 6, Thunderbird 2 or later")
                             .arg(info.value(QStringLiteral("CFBundleShortVersionString")).toString(),
                                  info.value(QStringLiteral("CFBundleVersion")).toString());
    aboutBoxController->supplyConfiguration({
        {QStringLiteral("Application Name"), QStringLiteral("Corvantis")},
        {QStringLiteral("About Content"), text},
        {QStringLiteral("Attachment Window"), QVariant::fromValue<QObject *>(mainWindow)},
    });
}

void Controller::showPreferenceWindow(QObject *)
{
    if (!defaults->hasKey(kL(keys::kCheckAtStartup)))
        defaults->setBoolean(kL(keys::kCheckAtStartup), true);
    if (!defaults->hasKey(kL(keys::kDateFormat)))
        defaults->setString(kL(keys::kDateFormat), QStringLiteral("MM/DD/YY with 24hr clock"));
    storeDefaults();
    auto *preferences = windows::MyPrefsWindowController::sharedPrefsWindowController();
    preferences->setDefaults(defaults.get());
    preferences->setController(this);
    preferences->showWindow(nullptr);
}

void Controller::showRestoreWindow(QObject *)
{
    const auto source = history::restoreSourceFor(platform::readDictionaryFile(cv::configFilePath()),
                                                  ui->destinationTextField->text());
    if (!QFileInfo(source.destination).isDir()) {
        m_dialogs->showAlert(QStringLiteral("No Backup Found"),
                             QStringLiteral("The backup folder '%1' is not available.").arg(source.destination));
        return;
    }
    if (!m_restoreWindow)
        m_restoreWindow = std::make_unique<windows::RestoreWindow>(*m_workspace);
    m_restoreWindow->open(source, getMainWindow());
}

void Controller::openBackupFolder(QObject *)
{
    const QString destination = history::restoreSourceFor(platform::readDictionaryFile(cv::configFilePath()),
                                                          ui->destinationTextField->text()).destination;
    if (!QFileInfo(destination).isDir() || !m_workspace->openFile(destination))
        m_dialogs->showAlert(QStringLiteral("No Backup Found"),
                             QStringLiteral("The backup folder '%1' could not be opened.").arg(destination));
}

// Quitting and the log ------------------------------------------------------

bool Controller::windowShouldClose(QWidget *)
{
    if (!m_dialogs->confirmQuit())
        return false;
    m_quitting = true;
    QCoreApplication::quit();
    return true;
}

void Controller::storeDefaults()
{
    // synchronize logs a file it cannot write and keeps the changes for the
    // next save, which alerts: nothing more to say here.
    static_cast<void>(defaults->synchronize());
}

void Controller::applicationWillTerminate()
{
    const QString status = defaults->string(kL(keys::kScheduleStatus), QStringLiteral("Rescheduled"));
    if (status == QLatin1String("Rescheduled")) {
        defaults->setString(kL(keys::kScheduleStatus), QStringLiteral("Scheduled"));
        storeDefaults();
    }
    platform::NSLog(QStringLiteral("Corvantis exited\n\n"));
}

void Controller::displayLogWindow(QObject *)
{
    if (m_workspace->openFile(cv::logFilePath()))
        return;
    mainWindow->raise();
    mainWindow->activateWindow();
    m_dialogs->showAlertPanel(QStringLiteral("Corvantis"),
                              QStringLiteral("Could not open Console.app to open the log file. View it manually at "
                                             "'~/Library/Logs/Corvantis.log'."));
}

} // namespace cv::configurator
