#include "HistoryPane.h"

#include "HistoryNames.h"
#include "Settings.h"
#include "Log.h"
#include "UserDefaults.h"
#include "ui_HistoryPane.h"

#include <iterator>

namespace cv::configurator::windows {

namespace {

const QLatin1String kKeepKey(settings::kKeepVersions);
const QLatin1String kEnabledKey(settings::kVersionsEnabled);

} // namespace

HistoryPane::HistoryPane(QObject *parent)
    : QObject(parent)
{
    m_view = new QWidget;
    m_ui = new Ui::HistoryPane;
    m_ui->setupUi(m_view);
    m_view->setObjectName(QStringLiteral("historyPrefsView"));
    m_view->setAutoFillBackground(true);
    connect(m_ui->keepVersionsPopUp, &QComboBox::activated, this, &HistoryPane::keepChosen);
    connect(m_ui->versionsEnabledBox, &QCheckBox::clicked, this, &HistoryPane::enabledToggled);
}

HistoryPane::~HistoryPane()
{
    delete m_view.data(); // in the window or detached after a switch: ours either way
    delete m_ui;
}

void HistoryPane::setDefaults(cv::platform::UserDefaults *defaults)
{
    m_defaults = defaults;
    refreshControls();
}

void HistoryPane::refreshControls()
{
    if (!m_defaults)
        return;
    const QVariantMap stored{{kKeepKey, m_defaults->value(kKeepKey)}, {kEnabledKey, m_defaults->value(kEnabledKey)}};
    const history::HistorySettings settings = history::HistorySettings::fromDefaults(stored);
    m_ui->versionsEnabledBox->setChecked(settings.enabled);
    // A number of days not offered (set by hand) shows the next longer choice,
    // so the pop-up never claims less than is kept.
    int index = int(std::size(history::kKeepDayChoices)) - 1;
    for (int i = 0; i < index; ++i) {
        if (settings.keepDays != 0 && settings.keepDays <= history::kKeepDayChoices[i]) {
            index = i;
            break;
        }
    }
    m_ui->keepVersionsPopUp->setCurrentIndex(index);
    m_ui->keepVersionsPopUp->setEnabled(settings.enabled);
}

void HistoryPane::keepChosen(int index)
{
    if (!m_defaults || index < 0 || index >= int(std::size(history::kKeepDayChoices)))
        return;
    m_defaults->setInteger(kKeepKey, history::kKeepDayChoices[index]);
    if (!m_defaults->synchronize())
        platform::NSLog(QStringLiteral("Could not save how long earlier versions are kept to ") + m_defaults->path());
}

void HistoryPane::enabledToggled(bool on)
{
    m_ui->keepVersionsPopUp->setEnabled(on);
    if (!m_defaults)
        return;
    m_defaults->setBoolean(kEnabledKey, on);
    if (!m_defaults->synchronize())
        platform::NSLog(QStringLiteral("Could not save the earlier-versions setting to ") + m_defaults->path());
}

} // namespace cv::configurator::windows
