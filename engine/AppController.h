#pragma once
// The whole life of one engine process: decide whether to run, build and
// write the backup script, run it, log its output, announce the end and judge
// the run. Nothing here needs a window; the progress bubble is reached through
// RunPresenter.

#include "OutputLines.h"
#include "Retention.h"
#include "RunLock.h"
#include "RunPresenter.h"
#include "RunReport.h"
#include "TaskWrapper.h"
#include "TaskWrapperController.h"

#include <QObject>
#include <QPointF>
#include <QString>
#include <QVariantMap>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QTimer;

namespace cv::platform { class DistributedNotificationCenter; }

namespace cv::engine {

class ErrorsHandOver;

class AppController : public QObject, public TaskWrapperController
{
    Q_OBJECT
public:
    enum class Outcome { None, NotConfigured, AlreadyRunning, Success, Errors, Interrupted };

    // How long the run may wait for a client to quit: while the latest
    // output is a "Waiting for … to quit" line and nothing follows it. A
    // client that ignores the request (or any process whose command line
    // holds its name) would otherwise hold the run, and the run lock, for good.
    static constexpr std::chrono::minutes kQuitWaitLimit{10};

    explicit AppController(QObject *parent = nullptr);
    ~AppController() override;

    // Where the run is shown; not owned. Without one the run has no window.
    void setPresenter(RunPresenter *presenter) { m_presenter = presenter; }
    // Called when the process should end, with its exit status.
    void setTerminateHandler(std::function<void(int)> handler) { m_terminate = std::move(handler); }
    // For tests: a shorter quit-wait limit.
    void setQuitWaitLimit(std::chrono::milliseconds limit) { m_quitWaitLimit = limit; }
    // For tests: the program that makes the script executable.
    void setChmodProgram(const QString &program) { m_chmod = program; }

    // SIGTERM, SIGINT or SIGHUP reached the engine: a running script's group
    // is stopped and the run ends as a failed one; the process then exits
    // with 128 + the signal's number.
    void interrupt(int signalNumber);

    // The process is ending under the event loop: the platform's window
    // system ends it when the display goes away (an X server that died, a
    // logout). Ends the run as for SIGHUP, synchronously, before returning:
    // the script's group stopped, the script deleted, a log line, the
    // notification.
    void endBeforeExit();

    // Start-up: the log, PATH, then runBackupNow.
    void awakeFromNib();

    bool checkRunNowStatus() const;
    // Why no backup may run (for the log), empty when one may.
    QString notConfiguredReason() const;
    void runBackupNow();
    // Builds the script into shellScript and writes it. False when nothing
    // runnable was written; the reason has been logged.
    bool generateShellScript();
    void executeShellScriptAtPath(const QString &path);
    void updateDisplayWithStatus(const QString &status);

    // TaskWrapperController
    void appendOutput(const QString &output) override;
    void processStarted() override;
    void processFinished() override;

    // The Dock's screen edge: 0 bottom (also for an unreadable file or no
    // "orientation"), 1 left, 2 any other value.
    static int getDockPosition();
    // Where the progress bubble is attached for a Dock position code, in
    // screen space (origin bottom-left, y up).
    static QPointF anchorPointForDockPosition(int code);

    Outcome outcome() const { return m_outcome; }
    // The outcome record and failure notice of this run.
    RunReport *runReport() const { return m_report; }
    const QString &latestChunk() const { return m_latestChunk; }
    // The script's process group, -1 before the script was started.
    qint64 scriptProcessGroup() const { return backupTask ? backupTask->processGroup() : -1; }

    // ---- The script builders (ScriptBuilder.cpp): pure text, home from HOME.

    // Backslash-escapes the 13 characters of the classic table
    // (blank ( ) & | < > ; $ ` * ? ') and makes every other character that
    // the shell treats specially safe too, so the result is always one shell
    // word holding exactly the input.
    static QString escapeStringForTerminal(const QString &string);
    // The exact inverse of escapeStringForTerminal.
    static QString stripEscapes(const QString &string);
    static QString addAppleScriptTo(const QString &script, const QString &client, bool isHeader);
    static QString shellScriptForMail(const QString &script, const QString &destination);
    static QString shellScript(const QString &script, const QString &sourceFolder, const QString &destination);

    struct ScriptBuild {
        QString script;  // the whole script, when the configuration is usable
        QString problem; // otherwise one log line saying what is wrong
        QString notice;  // a log line about a choice made, when there is one
        bool ok() const { return problem.isEmpty(); }
    };
    // The whole script for the configuration read from the file (no value:
    // missing, unreadable or not a dictionary). Refuses one without a usable
    // Destination or Client, and never copies into "" or "/".
    static ScriptBuild buildShellScript(const std::optional<QVariantMap> &configuration);

private:
    void putCompatibilityCommandsOnPath();
    void postCompletion();
    void enterErrorsState();
    void terminate(int status);
    void watchForQuitWait();
    void giveUpWaiting();
    void endForNewerRun();
    // After a copy that failed on a full disk: true when room was made and
    // the script started again.
    bool tryAgainWithMoreRoom();
    bool running() const { return backupTask && m_outcome == Outcome::None; }

    enum class StopReason { None, GaveUp, Interrupted, DisplayLost };

    std::unique_ptr<TaskWrapper> backupTask;
    QString shellScript_;
    QString m_latestChunk;
    Outcome m_outcome = Outcome::None;
    RunPresenter *m_presenter = nullptr;
    std::function<void(int)> m_terminate;
    cv::platform::DistributedNotificationCenter *m_notifications = nullptr;
    cv::platform::RunLock m_runLock;
    ErrorsHandOver *m_handOver = nullptr;
    QString m_chmod = QStringLiteral("/bin/chmod");
    bool m_posted = false; // the end-of-run notification, once per process
    RunReport *m_report = nullptr;

    std::chrono::milliseconds m_quitWaitLimit = kQuitWaitLimit;
    QTimer *m_quitWait = nullptr;
    OutputLines m_lines;
    QString m_waitingFor;  // the client of the quit wait in progress
    StopReason m_stopReason = StopReason::None;
    int m_signal = 0;
    // The run in the backup's history: journal, version folder, room made.
    std::optional<cv::history::RunVersions> m_versions;
    bool m_noSpace = false;  // the copy said the disk is full
    QString m_outputTail;    // the end of the output so far, for words split across chunks
    bool m_ending = false;   // in the destructor: no new attempt
};

} // namespace cv::engine
