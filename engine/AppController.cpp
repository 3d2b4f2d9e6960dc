#include "AppController.h"

#include "DistributedNotificationCenter.h"
#include "Home.h"
#include "Log.h"
#include "Names.h"
#include "PropertyList.h"
#include "TMShellScriptGenerator.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace cv::engine {

using cv::platform::NSLog;

AppController::AppController(QObject *parent)
    : QObject(parent)
    , m_notifications(new cv::platform::DistributedNotificationCenter(this))
{
}

AppController::~AppController()
{
    // A run cut short at shutdown still ends through processFinished; the
    // bubble and the event loop may already be gone by then.
    m_presenter = nullptr;
    m_terminate = nullptr;
    backupTask.reset();
}

void AppController::awakeFromNib()
{
    cv::platform::reopenStandardError(cv::logFilePath());
    putCompatibilityCommandsOnPath();
    runBackupNow();
}

void AppController::putCompatibilityCommandsOnPath()
{
    // The script calls ditto and osascript by name; where the system has
    // none, ours from the bundle come first.
    if (!QStandardPaths::findExecutable(QStringLiteral("ditto")).isEmpty())
        return;
    const QString bin = QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../Resources/bin"));
    if (!QFileInfo(bin).isDir())
        return;
    QByteArray path = qgetenv("PATH");
    if (path.isEmpty())
        path = "/usr/local/bin:/usr/bin:/bin";
    qputenv("PATH", QFile::encodeName(bin) + ':' + path);
}

bool AppController::checkRunNowStatus() const
{
    const auto defaults = cv::platform::readDictionaryFile(cv::defaultsFilePath());
    if (!defaults)
        return false;
    const QVariant value = defaults->value(QString::fromUtf8(names::kCurrentConfigurationKey));
    // Only the configurator writes this key, always as text; anything else is
    // damage, not a schedule.
    if (value.typeId() != QMetaType::QString)
        return false;
    return !names::isNotConfiguredSentence(value.toString());
}

void AppController::runBackupNow()
{
    if (!checkRunNowStatus()) {
        // Nothing to do. Exiting (rather than idling without a window) keeps
        // every cron tick from leaving a process behind.
        m_outcome = Outcome::NotConfigured;
        terminate(0);
        return;
    }
    if (!m_runLock.tryAcquire(cv::runLockPath())) {
        NSLog(QStringLiteral("Another backup is already running; this run was skipped."));
        m_outcome = Outcome::AlreadyRunning;
        terminate(0);
        return;
    }
    if (!generateShellScript()) {
        postCompletion();
        QFile::remove(cv::scriptFilePath());
        enterErrorsState();
        return;
    }
    if (m_presenter)
        m_presenter->showRunStarted();
    executeShellScriptAtPath(cv::scriptFilePath());
}

bool AppController::generateShellScript()
{
    const ScriptBuild build = buildShellScript(cv::platform::readDictionaryFile(cv::configFilePath()));
    if (!build.ok()) {
        NSLog(build.problem);
        return false;
    }
    shellScript_ = build.script;
    QDir().mkpath(cv::supportFolder());
    if (!TMShellScriptGenerator::generateShellScriptFromCommand(shellScript_, QString::fromUtf8(names::kScriptFileName),
                                                                cv::supportFolder())) {
        NSLog(QStringLiteral("The backup script could not be written to '%1'; no backup was made.")
                  .arg(cv::scriptFilePath()));
        return false;
    }
    return true;
}

void AppController::executeShellScriptAtPath(const QString &path)
{
    backupTask.reset();
    backupTask = std::make_unique<TaskWrapper>(this, QStringList{path});
    backupTask->startProcess();
}

void AppController::processStarted()
{
}

void AppController::appendOutput(const QString &output)
{
    updateDisplayWithStatus(output);
}

void AppController::updateDisplayWithStatus(const QString &status)
{
    m_latestChunk = status;
    if (m_presenter)
        m_presenter->showStatus(status);
    NSLog(status);
}

void AppController::postCompletion()
{
    m_notifications->postNotificationName(QString::fromUtf8(names::kExecutionCompleteNotification));
}

void AppController::processFinished()
{
    postCompletion();
    QFile::remove(cv::scriptFilePath());
    if (m_latestChunk.contains(QLatin1String(names::kSuccessPhrase))) {
        m_outcome = Outcome::Success;
        if (m_presenter)
            m_presenter->showSuccess();
        terminate(0);
        return;
    }
    enterErrorsState();
}

void AppController::enterErrorsState()
{
    m_outcome = Outcome::Errors;
    // The other engine may start as soon as this run's copying is over,
    // even while this one still shows its errors.
    m_runLock.release();
    if (m_presenter && m_presenter->showErrors())
        return; // the log button ends the process
    NSLog(QStringLiteral("Backup had errors; see the lines above in this log."));
    terminate(1);
}

void AppController::terminate(int status)
{
    if (m_terminate)
        m_terminate(status);
}

} // namespace cv::engine
