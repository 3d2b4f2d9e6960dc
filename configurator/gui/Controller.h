#pragma once
// The configurator's main controller: binds the main window's controls to
// the schedule, saving, status and start-up logic, which live in the
// widget-free library beside it. Operation names follow the window's actions.

#include "CatchUp.h"
#include "CatchUpEntry.h"
#include "CronServiceProbe.h"
#include "Dialogs.h"
#include "EngineLauncher.h"
#include "PreferencesClient.h"
#include "Schedule.h"
#include "TMCrontabModifier.h"
#include "Updater.h"
#include "WindowSettings.h"

#include <QObject>
#include <QPixmap>
#include <QPointer>

#include <map>
#include <memory>
#include <optional>

#include "KAAttachedWindow.h"
class QAction;
class QCheckBox;
class QMainWindow;

namespace Ui {
class MainWindow;
class DayBubbleView;
}

namespace cv::platform {
class DistributedNotificationCenter;
class UserDefaults;
class Workspace;
} // namespace cv::platform

namespace cv::configurator {

// The side effects the controller reaches through; null members get the real ones.
struct ControllerServices {
    Dialogs *dialogs = nullptr;
    platform::Workspace *workspace = nullptr;
    platform::EngineLauncher *launcher = nullptr;
    UpdateDialogs *updateDialogs = nullptr;
    CronServiceProbe *cronProbe = nullptr;
    AgentStarter *agentStarter = nullptr;
    QString crontabProgram = QStringLiteral("/usr/bin/crontab");
    // The folder the client icons, pictures and the shipped engine are read from.
    QString resourcesFolder;
    // Tests keep their own standard error.
    bool redirectStandardError = true;
};

namespace windows {
class RestoreWindow;
class TMAboutBox;
}
class EngineWatch;
class OffsiteLine;
class SaveTransaction;

class Controller : public QObject, public windows::PreferencesClient
{
    Q_OBJECT
public:
    explicit Controller(ControllerServices services = {}, QObject *parent = nullptr);
    ~Controller() override;

    // Start-up, once, before the window is shown.
    void awakeFromNib();

    // Schedule.
    QString getStringForDays() const;
    QString getDaysString() const;
    QTime getScheduledTime() const;
    QString formulateCronJob() const;
    bool checkSelections();
    void setTime(QObject *sender);
    void dayChange(QObject *sender);
    void enableSave(QObject *sender);
    void toggleNotificationWindow(bool show);

    // Saving and status.
    void setSource(QObject *sender);
    void setDestination(QObject *sender);
    void browseForDestination(QObject *sender);
    void save(QObject *sender);
    void saveAsRunNow(QObject *sender);
    void saveWithRunNowOnly(bool runNowOnly);
    void removeSchedule(QObject *sender);
    void loadPreferences();
    int getDateFormat() const;
    void executionComplete();
    void updateDateFormat();
    QMainWindow *getMainWindow() const { return mainWindow; }

    // Start-up steps and commands.
    void checkForSupportFolders();
    void checkBackupEngine();
    void runNow(QObject *sender);
    void visitWebPageAction(QObject *sender);
    void sendFeedback(QObject *sender);
    void sendBugReport(QObject *sender);
    void checkForUpdates(QObject *sender) override;
    void showPreferenceWindow(QObject *sender);
    // Earlier versions: the Restore window, and the backup in the file manager.
    void showRestoreWindow(QObject *sender);
    void openBackupFolder(QObject *sender);

    // Quitting.
    bool windowShouldClose(QWidget *window);
    void applicationWillTerminate();
    void displayLogWindow(QObject *sender);

    // For the window's tests: which of the two patterns the save items show.
    bool isInSettingsChangedState() const;
    KAAttachedWindow *dayBubble() const { return attachedWindow; }
    TMCrontabModifier *crontab() const { return crontabModifier.get(); }
    platform::UserDefaults &userDefaults() const { return *defaults; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // Start-up steps, in awakeFromNib's order.
    void prepareHomeAndLog();
    void centreMainWindow();
    void recordSession();
    void showStoredSettings();
    // Removes a line of the old script name; a schedule whose line is gone
    // is shown as not configured.
    void tidyCrontab();
    void listenToEngineAndPreferences();

    enum class SaveItems { SettingsChanged, Saved };
    void setSaveItems(SaveItems state);
    WindowSettings windowSettings() const;
    DayFlags checkBoxDays() const;
    DayFlags storedDays() const;
    // The schedule as last saved, as the catch-up agent reads it.
    catchup::SavedSchedule storedSchedule() const;
    void showLastBackup();
    void showRunWarning();
    // The login entry as the stored settings ask; after the user's own
    // change (a save, the preference) the agent starts at once, and an entry
    // that cannot be written is alerted.
    void refreshCatchUpEntry(bool userChange);
    void showCronServiceLine();
    void configureAboutBox();
    bool crontabChanged(const QString &informativeText);
    // A save or removal either changes everything it set out to change or,
    // when a write fails, nothing (SaveTransaction).
    enum class SaveResult { Saved, NotValid, Failed };
    SaveResult saveSchedule(bool runNowOnly);
    bool removeSavedSchedule();
    bool acceptDestination();
    bool storeSettings();
    // Stores a setting changed beside a save (a failure is logged).
    void storeDefaults();
    bool openSave();
    void closeSave();
    void failSave();
    void destinationEdited();
    void connectActions();
    QPixmap clientIcon(const QString &title) const;

    ControllerServices m_services;
    std::unique_ptr<WidgetDialogs> m_ownDialogs;
    std::unique_ptr<platform::Workspace> m_ownWorkspace;
    std::unique_ptr<platform::EngineLauncher> m_ownLauncher;
    std::unique_ptr<CronServiceProbe> m_ownCronProbe;
    std::unique_ptr<UpdateDialogs> m_ownUpdateDialogs;
    std::unique_ptr<AgentStarter> m_ownAgentStarter;
    AgentStarter *m_agentStarter = nullptr;
    bool m_catchUpOff = false;
    platform::EngineLauncher *m_launcher = nullptr;
    Updater *_SUUpdater = nullptr;
    CronServiceProbe *m_cronProbe = nullptr;
    Dialogs *m_dialogs = nullptr;
    platform::Workspace *m_workspace = nullptr;

    std::unique_ptr<Ui::MainWindow> ui;
    std::unique_ptr<Ui::DayBubbleView> bubbleUi;
    QMainWindow *mainWindow = nullptr;
    std::array<QCheckBox *, 7> dayButtons{};
    QPointer<QWidget> attachedNotificationView;
    QPointer<KAAttachedWindow> attachedWindow;

    windows::TMAboutBox *aboutBoxController = nullptr;
    std::unique_ptr<platform::UserDefaults> defaults;
    std::unique_ptr<TMCrontabModifier> crontabModifier;
    platform::DistributedNotificationCenter *distributedCenter = nullptr;
    std::map<QString, QPixmap> clientIcons;

    QString currentSource;
    QString currentDestination;
    bool m_quitting = false;

    std::unique_ptr<SaveTransaction> m_saveTransaction;
    QString m_statusBeforeSave;
    SaveItems m_itemsBeforeSave = SaveItems::SettingsChanged;
    // What the save items showed before the destination was edited, while
    // that edit is the only change since.
    std::optional<SaveItems> m_itemsBeforeDestinationEdit;
    EngineWatch *m_engineWatch = nullptr;
    OffsiteLine *m_offsiteLine = nullptr;
    std::unique_ptr<windows::RestoreWindow> m_restoreWindow;
};

} // namespace cv::configurator
