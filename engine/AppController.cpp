#include "AppController.h"

#include "DistributedNotificationCenter.h"
#include "ErrorsHandOver.h"
#include "Home.h"
#include "Log.h"
#include "Names.h"
#include "OffsiteLaunch.h"
#include "PropertyList.h"
#include "TMShellScriptGenerator.h"
#include "TerminationSignals.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTimer>

#include <csignal>
#include <utility>

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

void logLine(const QString &line)
{
    NSLog(line);
}

// How long a new run waits for an engine that shows an older run's errors
// to end.
constexpr std::chrono::milliseconds kHandOverWait{3000};

// After the end of a successful run has been posted: the upload runs beside
// later runs, in its own process, never within this one.
void startOffsiteCopy()
{
    if (!cv::offsite::offsiteEnabled(cv::defaultsFilePath()))
        return;
    if (const cv::Result<void> started = cv::offsite::startOffsiteSender(QCoreApplication::applicationDirPath());
        !started)
        NSLog(QStringLiteral("The off-site copy could not be started: %1.").arg(started.reason()));
}

} // namespace

AppController::AppController(QObject *parent)
    : QObject(parent)
    , m_notifications(new cv::platform::DistributedNotificationCenter(this))
    , m_handOver(new ErrorsHandOver(this))
    , m_report(new RunReport(this))
    , m_quitWait(new QTimer(this))
{
    m_quitWait->setSingleShot(true);
    connect(m_quitWait, &QTimer::timeout, this, &AppController::giveUpWaiting);
    connect(m_handOver, &ErrorsHandOver::endRequested, this, &AppController::endForNewerRun);
}

AppController::~AppController()
{
    // A run cut short at shutdown still ends through processFinished; the
    // bubble and the event loop may already be gone by then.
    m_presenter = nullptr;
    m_terminate = nullptr;
    m_ending = true;
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
    return notConfiguredReason().isEmpty();
}

QString AppController::notConfiguredReason() const
{
    QString problem;
    const auto defaults = cv::platform::readDictionaryFile(cv::defaultsFilePath(), &problem);
    if (!defaults)
        return QStringLiteral("the settings file '%1' %2").arg(cv::defaultsFilePath(), problem);
    const QString key = QString::fromUtf8(names::kCurrentConfigurationKey);
    if (!defaults->contains(key))
        return QStringLiteral("the settings hold no %1").arg(key);
    const QVariant value = defaults->value(key);
    // Only the configurator writes this key, always as text; anything else is
    // damage, not a schedule.
    if (value.typeId() != QMetaType::QString)
        return QStringLiteral("the settings' %1 is not text").arg(key);
    if (names::isNotConfiguredSentence(value.toString()))
        return QStringLiteral("the settings say \"%1\"").arg(value.toString());
    return {};
}

void AppController::runBackupNow()
{
    if (m_outcome != Outcome::None)
        return; // one run per process, and none after an interruption
    if (const QString reason = notConfiguredReason(); !reason.isEmpty()) {
        // Nothing to do. Exiting (rather than idling without a window) keeps
        // every cron tick from leaving a process behind; the notification
        // still tells a configurator that waits on its Run Now.
        NSLog(QStringLiteral("No backup made: Corvantis is not configured (%1).").arg(reason));
        m_outcome = Outcome::NotConfigured;
        terminate(0);
        return;
    }
    // At most one errors bubble: an older run's, still shown, goes first.
    m_handOver->endEarlierEngine(kHandOverWait);
    switch (m_runLock.tryAcquire(cv::runLockPath())) {
    case cv::platform::RunLock::Acquire::Acquired:
        break;
    case cv::platform::RunLock::Acquire::Busy:
        NSLog(QStringLiteral("Another backup is already running; this run was skipped."));
        m_outcome = Outcome::AlreadyRunning;
        terminate(0);
        return;
    case cv::platform::RunLock::Acquire::Unusable:
        // Without the lock nothing keeps two runs apart: no backup.
    {
        const QString why = QStringLiteral("No backup made: %1.").arg(m_runLock.error());
        NSLog(why);
        m_report->begin();
        m_report->noteReason(why);
        m_report->finish(false);
        enterErrorsState();
        return;
    }
    }
    m_report->begin();
    if (!generateShellScript()) {
        m_report->finish(false);
        QFile::remove(cv::scriptFilePath());
        enterErrorsState();
        return;
    }
    m_versions = cv::history::RunVersions::forRun(cv::platform::readDictionaryFile(cv::configFilePath()),
                                                  cv::platform::readDictionaryFile(cv::defaultsFilePath()));
    if (QString why; !m_versions->begin(QDateTime::currentDateTimeUtc(), logLine, &why)) {
        NSLog(why);
        m_report->noteReason(why);
        m_report->finish(false);
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
    QString problem;
    const auto configuration = cv::platform::readDictionaryFile(cv::configFilePath(), &problem);
    if (!configuration) {
        const QString why = QStringLiteral("No backup made: the configuration file \"%1\" %2.").arg(cv::configFilePath(), problem);
        NSLog(why);
        m_report->noteReason(why);
        return false;
    }
    const ScriptBuild build = buildShellScript(configuration);
    if (!build.ok()) {
        NSLog(build.problem);
        m_report->noteReason(build.problem);
        return false;
    }
    if (!build.notice.isEmpty())
        NSLog(build.notice);
    shellScript_ = build.script;
    QDir().mkpath(cv::supportFolder());
    // A failure has been logged by the writer.
    return TMShellScriptGenerator::generateShellScriptFromCommand(shellScript_, QString::fromUtf8(names::kScriptFileName),
                                                                  cv::supportFolder(), m_chmod)
        .ok();
}

void AppController::executeShellScriptAtPath(const QString &path)
{
    backupTask.reset();
    backupTask = std::make_unique<TaskWrapper>(this, QStringList{path});
    // The script and everything it starts share the run lock: were the
    // engine killed outright, the lock would still be held until the last of
    // them has gone, so no second run copies beside them.
    backupTask->setInheritedDescriptor(m_runLock.descriptor());
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
    // Across chunks: the words may be split between two.
    m_noSpace = m_noSpace || cv::history::reportsNoSpace(m_outputTail + status);
    m_outputTail = status.right(64);
    // Chunks are not aligned to lines: the lines are followed across them,
    // for the quit wait and for the success test.
    m_lines.append(status);
    m_report->addOutput(status);
    if (m_presenter)
        m_presenter->showStatus(status);
    NSLog(status);
    watchForQuitWait();
}

void AppController::watchForQuitWait()
{
    static const QRegularExpression waiting(QStringLiteral("^Waiting for (.+) to quit$"));
    const QRegularExpressionMatch match = waiting.match(m_lines.lastLine());
    if (!m_lines.partialLine().isEmpty() || m_lines.lastLineTruncated() || !match.hasMatch()
        || m_stopReason != StopReason::None) {
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

void AppController::endBeforeExit()
{
    // No window and no event loop is left to serve.
    m_presenter = nullptr;
    m_terminate = nullptr;
    m_quitWait->stop();
    if (backupTask && (running() || backupTask->isStopping())) {
        if (m_stopReason == StopReason::None || m_stopReason == StopReason::GaveUp)
            m_stopReason = StopReason::DisplayLost;
        NSLog(QStringLiteral("The display went away; the backup's script is being stopped."));
        backupTask->stopProcessAndWait(); // processFinished has run when it returns
        return;
    }
    if (m_outcome == Outcome::Errors)
        NSLog(QStringLiteral("The display went away while the errors of the run were shown."));
    postCompletion();
}

void AppController::endForNewerRun()
{
    if (m_outcome != Outcome::Errors)
        return;
    // As if the log button had not been pressed: the log stays closed.
    NSLog(QStringLiteral("A newer run has started; this engine no longer shows the errors of its run."));
    terminate(1);
}

void AppController::postCompletion()
{
    if (std::exchange(m_posted, true))
        return;
    m_notifications->postNotificationName(QString::fromUtf8(names::kExecutionCompleteNotification));
}

void AppController::processFinished()
{
    // Sent only once the script's whole group has gone, so the run lock
    // (released in the errors state, or with the process) never lets a
    // second engine copy beside a leftover of this one.
    m_quitWait->stop();
    if (tryAgainWithMoreRoom())
        return;
    const bool success = m_stopReason == StopReason::None && OutputLines::isSuccessLine(m_lines.lastNonBlankLine());
    if (m_versions)
        m_versions->end(success, QDateTime::currentDateTimeUtc(), logLine);
    if (const QString removed = m_versions ? m_versions->removedForRoom() : QString(); !removed.isEmpty())
        m_report->noteRoomMade(removed);
    if (m_stopReason == StopReason::Interrupted)
        m_report->noteReason(QStringLiteral("The backup was interrupted by %1.").arg(TerminationSignals::name(m_signal)));
    if (m_stopReason == StopReason::DisplayLost)
        m_report->noteReason(QStringLiteral("The backup was stopped because the session ended."));
    m_report->finish(success);
    postCompletion();
    QFile::remove(cv::scriptFilePath());
    if (m_stopReason == StopReason::Interrupted || m_stopReason == StopReason::DisplayLost) {
        // The session is ending: no errors bubble to wait on.
        m_outcome = Outcome::Interrupted;
        m_runLock.release();
        terminate(m_stopReason == StopReason::Interrupted ? 128 + m_signal : 128 + SIGHUP);
        return;
    }
    if (m_stopReason == StopReason::GaveUp) {
        enterErrorsState();
        return;
    }
    // The script's last word counts, not a file name with the same words
    // in an error message before it.
    if (success) {
        m_outcome = Outcome::Success;
        m_report->notifyRoomMade();
        startOffsiteCopy();
        if (m_presenter)
            m_presenter->showSuccess();
        terminate(0);
        return;
    }
    enterErrorsState();
}

bool AppController::tryAgainWithMoreRoom()
{
    // A disk filled by kept versions must not stop every later backup:
    // the oldest go one at a time, and the whole script runs again (its
    // quit and copy steps are safe to repeat; the copy then writes only
    // what is still missing), until it succeeds or nothing may go.
    const bool noSpace = std::exchange(m_noSpace, false);
    m_outputTail.clear();
    if (m_ending || m_stopReason != StopReason::None || !noSpace || !m_versions
        || OutputLines::isSuccessLine(m_lines.lastNonBlankLine()) || !m_versions->makeRoom(logLine))
        return false;
    NSLog(QStringLiteral("The disk is full; the backup is tried again."));
    executeShellScriptAtPath(cv::scriptFilePath());
    return true;
}

void AppController::enterErrorsState()
{
    m_outcome = Outcome::Errors;
    m_report->notifyFailure();
    postCompletion();
    // The other engine may start as soon as this run's copying is over,
    // even while this one still shows its errors.
    m_runLock.release();
    if (m_presenter && m_presenter->showErrors()) {
        // The log button ends the process, or a newer run does.
        if (const cv::Result<void> listening = m_handOver->listen(); !listening)
            NSLog(QStringLiteral("A newer run cannot take over these errors (%1); they stay until the log button "
                                 "is pressed.")
                      .arg(listening.reason()));
        return;
    }
    NSLog(QStringLiteral("Backup had errors; see the lines above in this log."));
    terminate(1);
}

void AppController::terminate(int status)
{
    // Every way out announces the end, so a configurator waiting on its Run
    // Now always hears of it.
    postCompletion();
    if (m_terminate)
        m_terminate(status);
}

} // namespace cv::engine
