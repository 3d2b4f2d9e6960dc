#include "Controller.h"
#include "ControllerTexts.h"
#include "ClientFolders.h"
#include "ClientPopUp.h"
#include "DesktopFit.h"

#include "ui_DayBubbleView.h"
#include "ui_MainWindow.h"

#include "CatchUpEntry.h"
#include "Clients.h"
#include "DistributedNotificationCenter.h"
#include "RestoreWindow.h"
#include "OffsiteLine.h"
#include "OffsiteRecord.h"
#include "RunStatusText.h"
#include "EngineInstaller.h"
#include "EngineWatch.h"
#include "Home.h"
#include "KAAttachedWindow.h"
#include "Log.h"
#include "MyPrefsWindowController.h"
#include "Names.h"
#include "SaveTransaction.h"
#include "SessionEnvironment.h"
#include "StatusText.h"
#include "SupportFolders.h"
#include "TMAboutBox.h"
#include "TMGradientWindow.h"
#include "UpdateDialogs.h"
#include "UserDefaults.h"
#include "Workspace.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QMainWindow>
#include <QMimeData>
#include <QScreen>
#include <QSignalBlocker>
#include <QStyle>

namespace cv::configurator {

using namespace detail;

namespace {

// The folder of a drop on the destination field, or empty when the drop
// holds anything else.
QString droppedFolder(const QMimeData *mime)
{
    if (!mime || !mime->hasUrls() || mime->urls().size() != 1)
        return {};
    const QUrl url = mime->urls().constFirst();
    if (!url.isLocalFile())
        return {};
    const QString path = url.toLocalFile();
    return QFileInfo(path).isDir() ? QDir::cleanPath(path) : QString();
}

// The service a caller handed in, or the real one, owned here.
template <typename Real, typename Service, typename Owned>
Service *givenOrOwn(Service *given, std::unique_ptr<Owned> &own)
{
    if (given)
        return given;
    own = std::make_unique<Real>();
    return own.get();
}

} // namespace

Controller::Controller(ControllerServices services, QObject *parent)
    : QObject(parent)
    , m_services(std::move(services))
    , ui(std::make_unique<Ui::MainWindow>())
    , bubbleUi(std::make_unique<Ui::DayBubbleView>())
{
    m_dialogs = givenOrOwn<WidgetDialogs>(m_services.dialogs, m_ownDialogs);
    m_workspace = givenOrOwn<platform::DesktopWorkspace>(m_services.workspace, m_ownWorkspace);
    m_launcher = givenOrOwn<platform::BundleEngineLauncher>(m_services.launcher, m_ownLauncher);
    m_cronProbe = givenOrOwn<SystemCronServiceProbe>(m_services.cronProbe, m_ownCronProbe);
    m_agentStarter = givenOrOwn<DetachedAgentStarter>(m_services.agentStarter, m_ownAgentStarter);
    if (m_services.resourcesFolder.isEmpty())
        m_services.resourcesFolder = QCoreApplication::applicationDirPath() + QStringLiteral("/../Resources");

    mainWindow = new windows::TMGradientWindow;
    mainWindow->setAttribute(Qt::WA_DeleteOnClose, false);
    ui->setupUi(mainWindow);
    if (m_ownDialogs)
        m_ownDialogs->setParentWindow(mainWindow);
    dayButtons = {ui->sundayButton, ui->mondayButton, ui->tuesdayButton, ui->wednesdayButton,
                  ui->thursdayButton, ui->fridayButton, ui->saturdayButton};
    ui->notificationButton->setIcon(mainWindow->style()->standardIcon(QStyle::SP_MessageBoxInformation));

    attachedNotificationView = new QWidget;
    bubbleUi->setupUi(attachedNotificationView);

    // Read without a word here: standard error reaches the log only once
    // awakeFromNib has redirected it, and reloads the file then.
    defaults = std::make_unique<platform::UserDefaults>(cv::defaultsFilePath());
    crontabModifier = std::make_unique<TMCrontabModifier>(*m_dialogs, m_services.crontabProgram);

    UpdateDialogs *updateDialogs = m_services.updateDialogs;
    if (!updateDialogs) {
        m_ownUpdateDialogs = std::make_unique<MessageBoxUpdateDialogs>(*m_workspace, mainWindow);
        updateDialogs = m_ownUpdateDialogs.get();
    }
    const UpdateSettings updates = Updater::readBundleSettings(QDir(m_services.resourcesFolder + QStringLiteral("/../..")).absolutePath());
    _SUUpdater = new Updater(updates.feedUrl, updates.currentBuild, *updateDialogs, this);

    aboutBoxController = new windows::TMAboutBox(QDir(m_services.resourcesFolder + QStringLiteral("/..")).absolutePath(), this);

    mainWindow->installEventFilter(this);
    ui->destinationTextField->installEventFilter(this);
    ui->destinationTextField->setAcceptDrops(true);
    connectActions();
    windows::fitMainWindow(attachedNotificationView, bubbleUi->notificationTextField, ui->lastBackupLabel, ui->lastBackup,
                           ui->destinationTextField);
}

Controller::~Controller()
{
    toggleNotificationWindow(false);
    delete attachedNotificationView.data();
    delete mainWindow;
}

void Controller::connectActions()
{
    connect(ui->sourcePopUpButton, &QComboBox::activated, this, [this] { setSource(ui->sourcePopUpButton); });
    connect(ui->destinationTextField, &QLineEdit::editingFinished, this, [this] { setDestination(ui->destinationTextField); });
    connect(ui->destinationTextField, &QLineEdit::textEdited, this, [this] { destinationEdited(); });
    connect(ui->browseButton, &QPushButton::clicked, this, [this] { browseForDestination(ui->browseButton); });
    for (QCheckBox *day : dayButtons)
        connect(day, &QCheckBox::clicked, this, [this, day] { dayChange(day); });
    connect(ui->backupTime, &QTimeEdit::timeChanged, this, [this] { setTime(ui->backupTime); });
    connect(ui->launchClientButton, &QCheckBox::clicked, this, [this] { enableSave(ui->launchClientButton); });
    connect(ui->notificationButton, &QToolButton::clicked, this, [this] { checkSelections(); });
    connect(ui->saveButton, &QPushButton::clicked, this, [this] { save(ui->saveButton); });

    connect(ui->saveMenuItem, &QAction::triggered, this, [this] { save(ui->saveMenuItem); });
    connect(ui->saveRunOnlyMenuItem, &QAction::triggered, this, [this] { saveAsRunNow(ui->saveRunOnlyMenuItem); });
    connect(ui->removeScheduleAction, &QAction::triggered, this, [this] { removeSchedule(ui->removeScheduleAction); });
    connect(ui->showLogAction, &QAction::triggered, this, [this] { displayLogWindow(ui->showLogAction); });
    connect(ui->runNowMenuItem, &QAction::triggered, this, [this] { runNow(ui->runNowMenuItem); });
    connect(ui->homePageAction, &QAction::triggered, this, [this] { visitWebPageAction(ui->homePageAction); });
    connect(ui->feedbackAction, &QAction::triggered, this, [this] { sendFeedback(ui->feedbackAction); });
    connect(ui->bugReportAction, &QAction::triggered, this, [this] { sendBugReport(ui->bugReportAction); });
    connect(ui->checkForUpdatesAction, &QAction::triggered, this, [this] { checkForUpdates(ui->checkForUpdatesAction); });
    connect(ui->preferencesAction, &QAction::triggered, this, [this] { showPreferenceWindow(ui->preferencesAction); });
    connect(ui->restoreAction, &QAction::triggered, this, [this] { showRestoreWindow(ui->restoreAction); });
    connect(ui->openBackupFolderAction, &QAction::triggered, this, [this] { openBackupFolder(ui->openBackupFolderAction); });
    connect(ui->aboutAction, &QAction::triggered, this, [this] { aboutBoxController->displayWindow(ui->aboutAction); });
    connect(ui->quitAction, &QAction::triggered, this, [this] {
        m_quitting = true;
        QCoreApplication::quit();
    });
    connect(qApp, &QCoreApplication::aboutToQuit, this, &Controller::applicationWillTerminate);

    // An engine that ended without its notification still gives the window back.
    m_engineWatch = new EngineWatch(std::chrono::milliseconds(500), this);
    m_offsiteLine = new OffsiteLine(
        ui->offsiteLine, [this](const QDateTime &when) { return formatLastBackup(when, getDateFormat()); },
        [this] { return defaults->boolean(QLatin1String(offsite::kEnabledKey)); }, this);
    connect(m_engineWatch, &EngineWatch::ended, this, [this] {
        if (mainWindow->isMinimized())
            executionComplete();
    });
}

// Start-up ------------------------------------------------------------------

void Controller::awakeFromNib()
{
    prepareHomeAndLog();
    centreMainWindow();
    configureAboutBox();
    checkForSupportFolders();
    checkBackupEngine();
    recordSession();

    for (const clients::Client &client : clients::kClients) {
        QPixmap image(m_services.resourcesFolder + QLatin1Char('/') + QLatin1String(client.icon));
        if (!image.isNull())
            clientIcons[QString::fromUtf8(client.title)] = image;
    }

    showStoredSettings();
    tidyCrontab();
    showLastBackup();
    showCronServiceLine();
    listenToEngineAndPreferences();
    // The login entry follows what is stored, also after a lost schedule.
    refreshCatchUpEntry(false);

    // Only with the user's consent, given in the preferences.
    if (defaults->boolean(kL(keys::kCheckAtStartup)) && _SUUpdater->hasFeed())
        _SUUpdater->checkQuietlyAtStartup();

    platform::NSLog(QStringLiteral("Corvantis launched"));
}

void Controller::prepareHomeAndLog()
{
    // A fresh home here has none of the Library folders the rest relies on.
    createLibraryFolders();
    if (m_services.redirectStandardError)
        platform::reopenStandardError(cv::logFilePath());
}

void Controller::centreMainWindow()
{
    if (const QScreen *screen = mainWindow->screen()) {
        const QRect available = screen->availableGeometry();
        mainWindow->move(available.center() - QPoint(mainWindow->width() / 2, mainWindow->height() / 2));
    }
}

void Controller::recordSession()
{
    // What an engine started by cron needs to reach this desktop session.
    if (!platform::recordSessionEnvironment(cv::sessionFilePath()))
        platform::NSLog(QStringLiteral("Could not record the session for scheduled backups in '%1'.").arg(cv::sessionFilePath()));
}

void Controller::showStoredSettings()
{
    // What other processes stored since this one started counts.
    defaults->reload();
    loadPreferences();
    windows::markMissingClients(ui->sourcePopUpButton,
                                [](const QString &client) { return clientDataFound(client, cv::homeDirectory()); });
    setDestination(this);
    setSource(this);

    setSaveItems(SaveItems::Saved);
    const QString stored = defaults->string(kL(names::kCurrentConfigurationKey), QString::fromUtf8(names::kNotConfiguredDefault));
    // Either sentence means there is nothing for Run Now to run.
    if (names::isNotConfiguredSentence(stored))
        setSaveItems(SaveItems::SettingsChanged);
}

void Controller::tidyCrontab()
{
    // A line that names the script itself runs nothing: the engine removes
    // the script after each run.
    const QString oldScript = QString::fromUtf8(names::kScriptFileName);
    if (crontabModifier->checkForJob(oldScript)) {
        crontabModifier->setScriptName(oldScript);
        crontabModifier->removeCronJob();
    }
    // A saved schedule whose line is gone (removed by hand) is not claimed.
    const QString engineMarker = QString::fromUtf8(names::kEngineBundleName);
    const QString storedNow = defaults->string(kL(names::kCurrentConfigurationKey), QString::fromUtf8(names::kNotConfigured));
    if (!crontabModifier->checkForJob(engineMarker) && storedNow != QLatin1String(names::kNotConfigured)
        && !defaults->boolean(kL(keys::kRunNowOnly))) {
        defaults->setBoolean(kL(keys::kScheduled), false);
        storeDefaults();
        ui->currentConfiguration->setText(QString::fromUtf8(names::kNotConfigured));
        platform::NSLog(QString::fromUtf8(names::kNotConfigured));
        setSaveItems(SaveItems::SettingsChanged);
    }
    crontabModifier->setScriptName(engineMarker);
}

void Controller::listenToEngineAndPreferences()
{
    distributedCenter = new platform::DistributedNotificationCenter(this);
    connect(distributedCenter, &platform::DistributedNotificationCenter::notificationReceived, this,
            [this](const QString &name) {
                if (name == QLatin1String(names::kExecutionCompleteNotification))
                    executionComplete();
            });
    distributedCenter->addObserver(QString::fromUtf8(names::kExecutionCompleteNotification));
    connect(windows::MyPrefsWindowController::sharedPrefsWindowController(),
            &windows::MyPrefsWindowController::dateFormatChange, this, &Controller::updateDateFormat);
    connect(windows::MyPrefsWindowController::sharedPrefsWindowController(),
            &windows::MyPrefsWindowController::catchUpPreferenceChange, this, [this] { refreshCatchUpEntry(true); });
}

void Controller::checkForSupportFolders() { configurator::checkForSupportFolders(); }

void Controller::checkBackupEngine()
{
    EngineInstaller(m_services.resourcesFolder + QLatin1Char('/') + QLatin1String(names::kEngineBundleName),
                    cv::installedEnginePath())
        .checkBackupEngine();
}

void Controller::showCronServiceLine()
{
    // A schedule in the crontab never fires while no cron service runs; Run
    // Now still works, so this is a note, not an error.
    const bool running = m_cronProbe->cronServiceRunning();
    ui->cronServiceLine->setVisible(!running);
    if (!running) {
        ui->cronServiceLine->setText(QString::fromUtf8(kNoCronServiceLine));
        platform::NSLog(QString::fromUtf8(kNoCronServiceLine));
    }
}

// Schedule ------------------------------------------------------------------

DayFlags Controller::checkBoxDays() const
{
    DayFlags days{};
    for (std::size_t i = 0; i < days.size(); ++i)
        days[i] = dayButtons[i]->isChecked();
    return days;
}

DayFlags Controller::storedDays() const { return storedSchedule().days; }

catchup::SavedSchedule Controller::storedSchedule() const { return savedSchedule(*defaults); }

QString Controller::getStringForDays() const { return configurator::getStringForDays(storedDays()); }
QString Controller::getDaysString() const { return configurator::getDaysString(storedDays()); }
QTime Controller::getScheduledTime() const { return ui->backupTime->time(); }

QString Controller::formulateCronJob() const
{
    return configurator::formulateCronJob(getScheduledTime(), storedDays(), cv::homeDirectory());
}

bool Controller::checkSelections()
{
    const QString destination = ui->destinationTextField->text();
    if (destination.isEmpty() || destination == kNoDestination) {
        m_dialogs->showAlert(kConfigurationError, QStringLiteral("Please select a destination for the backup.\n"));
        return false;
    }
    bool anyDay = false;
    for (bool on : checkBoxDays())
        anyDay = anyDay || on;
    toggleNotificationWindow(!anyDay);
    return anyDay;
}

void Controller::setTime(QObject *) { setSaveItems(SaveItems::SettingsChanged); }

void Controller::dayChange(QObject *)
{
    checkSelections();
    setSaveItems(SaveItems::SettingsChanged);
}

void Controller::enableSave(QObject *) { setSaveItems(SaveItems::SettingsChanged); }

void Controller::toggleNotificationWindow(bool show)
{
    if (show == bool(attachedWindow))
        return;
    if (!show) {
        KAAttachedWindow *window = attachedWindow;
        attachedWindow = nullptr;
        window->setParent(nullptr);
        window->orderOut(this);
        delete window; // gives the view back
        return;
    }
    // The anchor's centre in the window's base coordinates (y up from the bottom).
    QWidget *anchor = ui->notificationButton;
    const QPoint topLeft = anchor->mapTo(mainWindow, QPoint(0, 0));
    const QPointF centre(topLeft.x() + 0.5 * anchor->width(), mainWindow->height() - (topLeft.y() + 0.5 * anchor->height()));
    attachedWindow = KAAttachedWindow::create(attachedNotificationView, centre, mainWindow, KASideLeft, 0.0f);
    if (!attachedWindow)
        return;
    attachedWindow->setBorderColor(Qt::white);
    bubbleUi->notificationTextField->setStyleSheet(QStringLiteral("color: white; background: transparent;"));
    attachedWindow->setBackgroundColor(QColor::fromRgbF(0.26f, 0.26f, 0.26f, 0.75f));
    attachedWindow->setViewMargin(2.0f);
    attachedWindow->setBorderWidth(2.0f);
    attachedWindow->setCornerRadius(8.0f);
    attachedWindow->setHasArrow(1.0f);
    attachedWindow->setDrawsRoundCornerBesideArrow(1.0f);
    attachedWindow->setArrowBaseWidth(20.0f);
    attachedWindow->setArrowHeight(16.0f);
    // A child of the main window: it stays above it and follows its moves.
    attachedWindow->setParent(mainWindow, attachedWindow->windowFlags());
    attachedWindow->_updateGeometry();
    // A bubble that was hidden before handed the view back hidden.
    attachedNotificationView->show();
    attachedWindow->orderFrontRegardless();
    windows::announceAlert(attachedNotificationView);
}

void Controller::setSaveItems(SaveItems state)
{
    // Any change of the items ends what an edit of the destination alone
    // could take back.
    m_itemsBeforeDestinationEdit.reset();
    const bool changed = state == SaveItems::SettingsChanged;
    ui->saveButton->setEnabled(changed);
    ui->saveMenuItem->setEnabled(changed);
    ui->saveRunOnlyMenuItem->setEnabled(changed);
    ui->runNowMenuItem->setEnabled(!changed);
}

bool Controller::isInSettingsChangedState() const
{
    return ui->saveButton->isEnabled() && ui->saveMenuItem->isEnabled() && ui->saveRunOnlyMenuItem->isEnabled()
        && !ui->runNowMenuItem->isEnabled();
}

// Client and destination ----------------------------------------------------

QPixmap Controller::clientIcon(const QString &title) const
{
    const auto it = clientIcons.find(title);
    return it == clientIcons.end() ? QPixmap() : it->second;
}

void Controller::setSource(QObject *)
{
    const QString title = ui->sourcePopUpButton->currentText();
    if (const QPixmap icon = clientIcon(title); !icon.isNull())
        ui->sourceIcon->setPixmap(icon);
    if (title != currentSource)
        setSaveItems(SaveItems::SettingsChanged);
    currentSource = title;
}

void Controller::setDestination(QObject *)
{
    const QString text = ui->destinationTextField->text();
    if (text != currentDestination)
        setSaveItems(SaveItems::SettingsChanged);
    if (!text.isEmpty()) {
        const QIcon icon = QFileIconProvider().icon(QFileInfo(text));
        ui->destinationIcon->setPixmap(icon.pixmap(32, 32));
    }
    currentDestination = text;
    m_itemsBeforeDestinationEdit.reset();
}

void Controller::destinationEdited()
{
    // Typing the destination there was, after all, changes nothing: the save
    // items go back to what they showed, unless something else changed since.
    if (ui->destinationTextField->text() == currentDestination) {
        if (const std::optional<SaveItems> before = m_itemsBeforeDestinationEdit)
            setSaveItems(*before);
        return;
    }
    const SaveItems before = m_itemsBeforeDestinationEdit.value_or(
        isInSettingsChangedState() ? SaveItems::SettingsChanged : SaveItems::Saved);
    setSaveItems(SaveItems::SettingsChanged);
    m_itemsBeforeDestinationEdit = before;
}

void Controller::browseForDestination(QObject *)
{
    const QString start = QFileInfo(ui->destinationTextField->text()).isDir() ? ui->destinationTextField->text()
                                                                              : cv::homeDirectory();
    const QString folder = m_dialogs->chooseFolder(start);
    if (folder.isEmpty())
        return;
    ui->destinationTextField->setText(folder);
    defaults->setString(kL(keys::kBackupDestination), folder);
    storeDefaults();
    setDestination(this);
}

// Status --------------------------------------------------------------------

int Controller::getDateFormat() const
{
    return configurator::getDateFormat(defaults->string(kL(keys::kDateFormat)));
}

void Controller::showLastBackup()
{
    const QString text = lastBackupText(cv::markerFilePath(), getDateFormat());
    ui->lastBackup->setText(text);
    showRunWarning();
}

void Controller::showRunWarning()
{
    const QString text = runWarningText(readLastRun(cv::supportFolder() + QLatin1String(names::kLastRunFileName)),
                                        lastBackupTime(cv::markerFilePath()), storedSchedule(),
                                        QDateTime::currentDateTime(), getDateFormat());
    ui->runWarning->setText(m_catchUpOff ? (text.isEmpty() ? QString() : text + QLatin1Char('\n')) + catchUpOffLine() : text);
    ui->runWarning->setStyleSheet(QStringLiteral("color: %1;").arg(kWarningTextColor.name()));
    ui->runWarning->setVisible(!ui->runWarning->text().isEmpty());
    if (m_offsiteLine)
        m_offsiteLine->refresh();
}

void Controller::refreshCatchUpEntry(bool userChange)
{
    const CatchUpEntryState state = updateCatchUpEntry(*defaults, userChange ? m_agentStarter : nullptr);
    m_catchUpOff = state.catchUpOff();
    if (userChange && state.catchUpOff())
        m_dialogs->showAlert(kConfigurationError, catchUpEntryAlertText(state));
    showRunWarning();
}

void Controller::executionComplete()
{
    // The engine spoke; its end no longer needs watching.
    m_engineWatch->watch(0);
    if (mainWindow->isMinimized()) {
        mainWindow->setWindowState(mainWindow->windowState() & ~Qt::WindowMinimized);
        mainWindow->showNormal();
    }
    showLastBackup();
}

void Controller::updateDateFormat() { showLastBackup(); }

// Events --------------------------------------------------------------------

bool Controller::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == mainWindow) {
        switch (event->type()) {
        case QEvent::Close:
            if (!m_quitting && !windowShouldClose(mainWindow)) {
                event->ignore();
                return true;
            }
            break;
        case QEvent::Move:
        case QEvent::Resize:
            if (attachedWindow)
                attachedWindow->_updateGeometry();
            break;
        default:
            break;
        }
    } else if (watched == ui->destinationTextField) {
        if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove) {
            auto *drag = static_cast<QDragMoveEvent *>(event);
            if (!droppedFolder(drag->mimeData()).isEmpty()) {
                drag->acceptProposedAction();
                return true;
            }
        } else if (event->type() == QEvent::Drop) {
            auto *drop = static_cast<QDropEvent *>(event);
            const QString folder = droppedFolder(drop->mimeData());
            if (!folder.isEmpty()) {
                drop->acceptProposedAction();
                ui->destinationTextField->setText(folder);
                setDestination(ui->destinationTextField);
                return true;
            }
        }
    }
    return QObject::eventFilter(watched, event);
}

} // namespace cv::configurator
