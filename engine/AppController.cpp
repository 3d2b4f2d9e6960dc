#include "AppController.h"

#include "DistributedNotificationCenter.h"
#include "Home.h"
#include "Log.h"
#include "Names.h"
#include "PropertyList.h"
#include "TMShellScriptGenerator.h"
#include "TerminationSignals.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTimer>

namespace cv::engine {

using cv::platform::NSLog;

namespace {

// "10 minutes", "1 second", "1.5 seconds".
QString describeDuration(std::chrono::milliseconds duration)
{
    const qint64 ms = duration.count();
    if (ms > 0 && ms % 60000 == 0)
        return ms == 60000 ? QStringLiteral("1 minute") : QStringLiteral("%1 minutes").arg(ms / 60000);
    if (ms % 1000 == 0)
        return ms == 1000 ? QStringLiteral("1 second") : QStringLiteral("%1 seconds").arg(ms / 1000);
    return QStringLiteral("%1 seconds").arg(double(ms) / 1000.0, 0, 'g', 4);
}

} // namespace

AppController::AppController(QObject *parent)
    : QObject(parent)
    , m_notifications(new cv::platform::DistributedNotificationCenter(this))
    , m_report(new RunReport(this))
    , m_quitWait(new QTimer(this))
{
    m_quitWait->setSingleShot(true);
    connect(m_quitWait, &QTimer::timeout, this, &AppController::giveUpWaiting);
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
    if (m_outcome != Outcome::None)
        return; // one run per process, and none after an interruption
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
    m_report->begin();
    if (!generateShellScript()) {
        m_report->finish(false);
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
        m_report->noteReason(build.problem);
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
    m_report->addOutput(status);
    if (m_presenter)
        m_presenter->showStatus(status);
    NSLog(status);
    watchForQuitWait(status);
}

void AppController::watchForQuitWait(const QString &output)
{
    // Chunks are not aligned to lines: follow the last complete line across
    // them. A long partial line is never a waiting line, so only its end is kept.
    QString text = m_partialLine + output;
    const qsizetype last = text.lastIndexOf(QLatin1Char('\n'));
    if (last >= 0) {
        const qsizetype previous = last > 0 ? text.lastIndexOf(QLatin1Char('\n'), last - 1) : -1;
        m_lastLine = text.mid(previous + 1, last - previous - 1);
        text.remove(0, last + 1);
    }
    m_partialLine = text.size() > 256 ? text.right(256) : text;

    static const QRegularExpression waiting(QStringLiteral("^Waiting for (.+) to quit$"));
    const QRegularExpressionMatch match = waiting.match(m_lastLine);
    if (!m_partialLine.isEmpty() || !match.hasMatch() || m_stopReason != StopReason::None) {
        m_quitWait->stop();
        return;
    }
    // Any output restarts the wait: the limit counts silence after the line.
    m_waitingFor = match.captured(1);
    m_quitWait->start(m_quitWaitLimit);
}

void AppController::giveUpWaiting()
{
    if (!running() || m_stopReason != StopReason::None)
        return;
    m_stopReason = StopReason::GaveUp;
    // The script copies only after its quit steps, so nothing has been copied.
    const QString why = QStringLiteral("Gave up waiting for %1 to quit after %2; no backup was made.")
                            .arg(m_waitingFor, describeDuration(m_quitWaitLimit));
    m_report->noteReason(why);
    NSLog(why);
    backupTask->stopProcess(); // processFinished follows once the script's group has gone
}

void AppController::interrupt(int signalNumber)
{
    const QString name = TerminationSignals::name(signalNumber);
    if (running()) {
        if (m_stopReason == StopReason::Interrupted)
            return; // already stopping for an earlier signal
        m_stopReason = StopReason::Interrupted;
        m_signal = signalNumber;
        m_quitWait->stop();
        NSLog(QStringLiteral("The backup was interrupted by %1; its script is being stopped.").arg(name));
        backupTask->stopProcess(); // processFinished ends the process
        return;
    }
    // No script runs: before the run, after a skipped one, or while the
    // errors are shown.
    if (m_outcome == Outcome::Errors)
        NSLog(QStringLiteral("Ended by %1 while showing the errors of the run.").arg(name));
    if (m_outcome == Outcome::None)
        m_outcome = Outcome::Interrupted;
    terminate(128 + signalNumber);
}

void AppController::postCompletion()
{
    m_notifications->postNotificationName(QString::fromUtf8(names::kExecutionCompleteNotification));
}

void AppController::processFinished()
{
    // Sent only once the script's whole group has gone, so the run lock
    // (released in the errors state, or with the process) never lets a
    // second engine copy beside a leftover of this one.
    m_quitWait->stop();
    if (m_stopReason == StopReason::Interrupted)
        m_report->noteReason(QStringLiteral("The backup was interrupted by %1.").arg(TerminationSignals::name(m_signal)));
    m_report->finish(m_stopReason == StopReason::None && m_latestChunk.contains(QLatin1String(names::kSuccessPhrase)));
    postCompletion();
    QFile::remove(cv::scriptFilePath());
    if (m_stopReason == StopReason::Interrupted) {
        // The session is ending: no errors bubble to wait on.
        m_outcome = Outcome::Interrupted;
        m_runLock.release();
        terminate(128 + m_signal);
        return;
    }
    if (m_stopReason == StopReason::GaveUp) {
        enterErrorsState();
        return;
    }
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
    m_report->notifyFailure();
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
