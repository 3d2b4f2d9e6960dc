#pragma once
// The configurator's preferences window: the "General" pane (the date format
// of the last-backup line, the update settings, catching up missed backups),
// the "History" pane and the "Off-site" pane. The controls are tied to the
// configurator's user defaults; every change is written through and flushed
// at once.

#include "RBPrefsWindowController.h"
#include "SecretStore.h"

#include <QPointer>

namespace cv::platform {
class UserDefaults;
}

namespace Ui {
class Preferences;
}

namespace cv::configurator::windows {

class HistoryPane;
class OffsitePane;
class PreferencesClient;

class MyPrefsWindowController : public RBPrefsWindowController
{
    Q_OBJECT

public:
    explicit MyPrefsWindowController(QObject *parent = nullptr);
    ~MyPrefsWindowController() override;

    // The one instance, made on first use and kept until the application
    // object goes away.
    static MyPrefsWindowController *sharedPrefsWindowController();

    // The store the pane's controls are bound to (not owned).
    void setDefaults(cv::platform::UserDefaults *defaults);
    // The main controller; it runs update checks (not owned).
    void setController(PreferencesClient *client);

    // The "Check Now" button.
    void updateCheck(QObject *sender);
    // The date-format pop-up's action: tells the configurator the format changed.
    void setDateFormat(QObject *sender);

    QWidget *generalPrefsView() const { return m_generalPrefsView; }
    HistoryPane *historyPane() const { return m_historyPane; }
    OffsitePane *offsitePane() const { return m_offsitePane; }

signals:
    // The local com.tallowmere.CorvantisPro.DateFormatChange notification.
    void dateFormatChange();
    // The catch-up preference was changed and stored.
    void catchUpPreferenceChange();

protected:
    void setupToolbar() override;

private:
    // Shows the stored values in the controls, as a binding would.
    void refreshControls();
    void dateFormatChosen(int index);
    void checkAtStartupToggled(bool checked);
    void catchUpToggled(bool checked);

    QPointer<QWidget> m_generalPrefsView;
    Ui::Preferences *m_ui = nullptr;
    PreferencesClient *m_controller = nullptr;
    cv::platform::UserDefaults *m_defaults = nullptr;
    HistoryPane *m_historyPane = nullptr;
    offsite::LibsecretStore m_secrets;
    OffsitePane *m_offsitePane = nullptr;
};

} // namespace cv::configurator::windows
