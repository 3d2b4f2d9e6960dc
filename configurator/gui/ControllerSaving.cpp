// The controller's saving and removing: each runs as one transaction, so a
// save that fails on any write leaves the crontab and both files as before.
#include "Controller.h"
#include "ControllerTexts.h"

#include "ui_MainWindow.h"

#include "CatchUpEntry.h"
#include "ClientFolders.h"
#include "DestinationCheck.h"
#include "Home.h"
#include "Log.h"
#include "Names.h"
#include "SaveTransaction.h"
#include "StatusText.h"
#include "UserDefaults.h"

#include <QScopeGuard>

namespace cv::configurator {

using namespace detail;

// Saving --------------------------------------------------------------------

void Controller::save(QObject *) { saveWithRunNowOnly(false); }

void Controller::saveAsRunNow(QObject *)
{
    // One transaction for the removal and the save: a save that fails on a
    // write puts the removed line back too.
    const bool opened = openSave();
    const auto close = qScopeGuard([&] {
        if (opened)
            closeSave();
    });
    // A line that could not be removed would still run: saying "Run Now
    // only" then would be untrue.
    if (defaults->boolean(kL(keys::kScheduled)) && !removeSavedSchedule())
        return;
    saveSchedule(true);
}

void Controller::saveWithRunNowOnly(bool runNowOnly) { saveSchedule(runNowOnly); }

Controller::SaveResult Controller::saveSchedule(bool runNowOnly)
{
    if (!checkSelections() || !acceptDestination())
        return SaveResult::NotValid;
    const catchup::SavedSchedule before = storedSchedule();
    const bool opened = openSave();
    const auto close = qScopeGuard([&] {
        if (opened)
            closeSave();
    });
    // A settings file that cannot be written would leave every later run
    // doing what the old settings say.
    if (!storeSettings()) {
        failSave();
        return SaveResult::Failed;
    }

    const Schedule schedule = windowSettings().schedule(getScheduledTime());
    const QString configPath = cv::configFilePath();
    if (const cv::Result<> written = writeConfiguration(configPath, schedule); !written) {
        const QString why = written.reason();
        // The engine would otherwise back up what an older save described.
        platform::NSLog(QStringLiteral("Could not write the configuration file '%1': %2").arg(configPath, why));
        m_dialogs->showAlert(kConfigurationError,
                             QStringLiteral("The configuration could not be saved to \"%1\".\n%2").arg(configPath, why));
        failSave();
        return SaveResult::Failed;
    }

    QString success;
    if (!runNowOnly) {
        crontabModifier->addCronJob(formulateCronJob());
        if (!crontabChanged(QStringLiteral("Unable to save settings."))) {
            failSave();
            return SaveResult::Failed;
        }
        m_saveTransaction->crontabChanged();
        defaults->setBoolean(kL(keys::kScheduled), true);
        defaults->setBoolean(kL(keys::kRunNowOnly), false);
        ui->currentConfiguration->setText(configuredSentence(schedule.client, storedDays(), getScheduledTime()));
        success = QStringLiteral("Backup Schedule successfully saved.");
    } else {
        defaults->setBoolean(kL(keys::kScheduled), true);
        defaults->setBoolean(kL(keys::kRunNowOnly), true);
        ui->currentConfiguration->setText(runNowOnlySentence(schedule.client));
        success = QStringLiteral("Backup Schedule successfully saved for Run Now only");
    }
    setSaveItems(SaveItems::Saved);
    if (!storeSettings()) {
        failSave();
        return SaveResult::Failed;
    }
    m_saveTransaction->logOnCommit(success);
    settleTimeBeforeSave(before, storedSchedule(), QDateTime::currentDateTime());
    refreshCatchUpEntry(true);
    return SaveResult::Saved;
}

bool Controller::acceptDestination()
{
    const DestinationCheck check = checkDestination(ui->destinationTextField->text(), cv::homeDirectory());
    switch (check.verdict) {
    case DestinationCheck::Verdict::Refuse:
        m_dialogs->showAlert(kConfigurationError, check.sentence);
        return false;
    case DestinationCheck::Verdict::AskToSave:
        if (!m_dialogs->askToSaveAnyway(QStringLiteral("Destination Not Found"), check.sentence))
            return false;
        break;
    case DestinationCheck::Verdict::Accept:
        break;
    }
    if (check.path != ui->destinationTextField->text()) {
        ui->destinationTextField->setText(check.path);
        setDestination(this);
    }
    return true;
}

bool Controller::storeSettings()
{
    const Result<> stored = configurator::savePreferences(*defaults, windowSettings());
    if (!stored)
        m_dialogs->showAlert(kConfigurationError, QStringLiteral("The settings could not be saved to \"%1\".\n%2")
                                                      .arg(defaults->path(), stored.reason()));
    return stored.ok();
}

bool Controller::openSave()
{
    if (m_saveTransaction)
        return false;
    m_saveTransaction = std::make_unique<SaveTransaction>(*defaults, *crontabModifier,
                                                          QStringList{cv::defaultsFilePath(), cv::configFilePath()});
    m_statusBeforeSave = ui->currentConfiguration->text();
    m_itemsBeforeSave = isInSettingsChangedState() ? SaveItems::SettingsChanged : SaveItems::Saved;
    return true;
}

void Controller::closeSave()
{
    m_saveTransaction->commit();
    m_saveTransaction.reset();
}

void Controller::failSave()
{
    if (!m_saveTransaction->rollBack())
        m_dialogs->showAlert(kConfigurationError, QStringLiteral("Not everything could be put back as it was before "
                                                                 "the save. The log names what is left over."));
    ui->currentConfiguration->setText(m_statusBeforeSave);
    setSaveItems(m_itemsBeforeSave);
}

bool Controller::crontabChanged(const QString &informativeText)
{
    // Nothing may claim a schedule that cron does not have, or the removal
    // of one it still has. A refusal has had its alert from the editor; a
    // scratch file it could not write has not.
    switch (crontabModifier->lastOutcome()) {
    case TMCrontabModifier::Outcome::Changed:
        return true;
    case TMCrontabModifier::Outcome::NotWritten:
        m_dialogs->showAlert(kSchedulingError, informativeText);
        return false;
    case TMCrontabModifier::Outcome::Refused:
        return false;
    }
    return false;
}

void Controller::removeSchedule(QObject *) { removeSavedSchedule(); }

bool Controller::removeSavedSchedule()
{
    const bool opened = openSave();
    const auto close = qScopeGuard([&] {
        if (opened)
            closeSave();
    });
    crontabModifier->removeCronJob();
    if (!crontabChanged(QStringLiteral("Unable to schedule backup."))) {
        failSave();
        return false;
    }
    m_saveTransaction->crontabChanged();
    defaults->setBoolean(kL(keys::kScheduled), false);
    ui->currentConfiguration->setText(QString::fromUtf8(names::kNotConfigured));
    setSaveItems(SaveItems::SettingsChanged);
    if (!storeSettings()) {
        failSave();
        return false;
    }
    m_saveTransaction->logOnCommit(QStringLiteral("Configuration removed."));
    m_saveTransaction->logOnCommit(QString::fromUtf8(names::kNotConfigured));
    refreshCatchUpEntry(true);
    return true;
}

WindowSettings Controller::windowSettings() const
{
    WindowSettings s;
    s.client = ui->sourcePopUpButton->currentText();
    s.destination = ui->destinationTextField->text();
    s.days = checkBoxDays();
    s.time = QDateTime(QDate::currentDate(), ui->backupTime->time());
    s.launchClient = ui->launchClientButton->isChecked();
    s.currentConfiguration = ui->currentConfiguration->text();
    return s;
}

void Controller::loadPreferences()
{
    WindowSettings s = configurator::loadPreferences(*defaults);
    applyFirstStartDefaults(s, *defaults, cv::homeDirectory());
    // Restoring is not an edit: no control may report a change.
    const QSignalBlocker blockTime(ui->backupTime);
    if (const int index = ui->sourcePopUpButton->findText(s.client); index >= 0)
        ui->sourcePopUpButton->setCurrentIndex(index);
    ui->destinationTextField->setText(s.destination);
    for (std::size_t i = 0; i < dayButtons.size(); ++i)
        dayButtons[i]->setChecked(s.days[i]);
    if (s.time)
        ui->backupTime->setTime(s.time->time());
    ui->launchClientButton->setChecked(s.launchClient);
    ui->currentConfiguration->setText(s.currentConfiguration);
}

} // namespace cv::configurator
