#include "MyPrefsWindowController.h"

#include "DesktopFit.h"
#include "HistoryPane.h"
#include "OffsitePane.h"
#include "Log.h"
#include "PreferencesClient.h"
#include "Settings.h"
#include "UserDefaults.h"
#include "ui_Preferences.h"

#include <QCoreApplication>

namespace cv::configurator::windows {

MyPrefsWindowController::MyPrefsWindowController(QObject *parent)
    : RBPrefsWindowController(parent)
{
    m_generalPrefsView = new QWidget;
    m_ui = new Ui::Preferences;
    m_ui->setupUi(m_generalPrefsView);
    m_generalPrefsView->setObjectName(QStringLiteral("generalPrefsView"));
    m_generalPrefsView->setAutoFillBackground(true);

    connect(m_ui->dateFormatPopUp, &QComboBox::activated, this,
            &MyPrefsWindowController::dateFormatChosen);
    connect(m_ui->checkAtStartupBox, &QCheckBox::clicked, this,
            &MyPrefsWindowController::checkAtStartupToggled);
    connect(m_ui->catchUpBox, &QCheckBox::clicked, this, &MyPrefsWindowController::catchUpToggled);
    connect(m_ui->checkNowButton, &QPushButton::clicked, this,
            [this] { updateCheck(m_ui->checkNowButton); });
    m_historyPane = new HistoryPane(this);
    m_offsitePane = new OffsitePane(m_secrets, this);
}

MyPrefsWindowController::~MyPrefsWindowController()
{
    // The pane may sit in the window or lie detached after a switch; it is
    // ours either way.
    delete m_generalPrefsView.data();
    delete m_ui;
}

MyPrefsWindowController *MyPrefsWindowController::sharedPrefsWindowController()
{
    // Parented to the application object so the window goes before it does.
    static QPointer<MyPrefsWindowController> shared;
    if (!shared) {
        shared = new MyPrefsWindowController(QCoreApplication::instance());
        // Widgets must go while the application still runs: as its child
        // the window would be destroyed after its teardown.
        QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, shared,
                         [] { delete shared.data(); });
    }
    return shared;
}

void MyPrefsWindowController::setDefaults(cv::platform::UserDefaults *defaults)
{
    m_defaults = defaults;
    refreshControls();
    m_historyPane->setDefaults(defaults);
    m_offsitePane->setDefaults(defaults);
}

void MyPrefsWindowController::setController(PreferencesClient *client)
{
    m_controller = client;
}

void MyPrefsWindowController::setupToolbar()
{
    refreshControls();
    // Each pane is as large as its content needs at the current font, so
    // nothing in it is clipped, and the window takes its size from it.
    fitToLayout(m_generalPrefsView);
    addView(m_generalPrefsView, QStringLiteral("General"));
    m_historyPane->refreshControls();
    fitToLayout(m_historyPane->view());
    addView(m_historyPane->view(), QStringLiteral("History"));
    m_offsitePane->refreshControls();
    addView(m_offsitePane->view(), QStringLiteral("Off-site"));
}

void MyPrefsWindowController::refreshControls()
{
    if (!m_defaults)
        return;
    // A stored title that is not one of the four selects nothing.
    m_ui->dateFormatPopUp->setCurrentIndex(
        m_ui->dateFormatPopUp->findText(m_defaults->string(QString::fromLatin1(settings::kDateFormat)),
                                        Qt::MatchExactly | Qt::MatchCaseSensitive));
    m_ui->checkAtStartupBox->setChecked(m_defaults->boolean(QString::fromLatin1(settings::kCheckAtStartup)));
    m_ui->catchUpBox->setChecked(m_defaults->boolean(QString::fromLatin1(settings::kCatchUp), true));
}

void MyPrefsWindowController::dateFormatChosen(int index)
{
    if (m_defaults && index >= 0) {
        m_defaults->setString(QString::fromLatin1(settings::kDateFormat), m_ui->dateFormatPopUp->itemText(index));
        if (!m_defaults->synchronize())
            platform::NSLog(QStringLiteral("Could not save the date format to ") + m_defaults->path());
    }
    // The stored value is in place before anyone hears of the change.
    setDateFormat(m_ui->dateFormatPopUp);
}

void MyPrefsWindowController::checkAtStartupToggled(bool checked)
{
    if (!m_defaults)
        return;
    m_defaults->setBoolean(QString::fromLatin1(settings::kCheckAtStartup), checked);
    if (!m_defaults->synchronize())
        platform::NSLog(QStringLiteral("Could not save the update setting to ") + m_defaults->path());
}

void MyPrefsWindowController::catchUpToggled(bool checked)
{
    if (!m_defaults)
        return;
    m_defaults->setBoolean(QString::fromLatin1(settings::kCatchUp), checked);
    if (!m_defaults->synchronize())
        platform::NSLog(QStringLiteral("Could not save the catch-up setting to ") + m_defaults->path());
    emit catchUpPreferenceChange();
}

void MyPrefsWindowController::updateCheck(QObject *sender)
{
    if (m_controller)
        m_controller->checkForUpdates(sender);
}

void MyPrefsWindowController::setDateFormat(QObject *)
{
    emit dateFormatChange();
}

} // namespace cv::configurator::windows
