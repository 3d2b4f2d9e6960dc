#pragma once
// The only code that touches the user's crontab. It keeps one line of the
// program there, next to whatever the user has: every add or remove reads the
// crontab afresh, drops the program's lines (CrontabLines.h says which those
// are) and installs the rest again.

#include "AlertPresenter.h"
#include "CommandRunner.h"

#include <QString>

#include <memory>

namespace cv::configurator {

class TMCrontabModifier
{
public:
    // alerts is not owned and must outlive the editor. Without a runner the
    // editor starts real processes.
    explicit TMCrontabModifier(AlertPresenter &alerts,
                               QString crontabProgram = QStringLiteral("/usr/bin/crontab"),
                               std::unique_ptr<CommandRunner> runner = nullptr);
    ~TMCrontabModifier();
    TMCrontabModifier(const TMCrontabModifier &) = delete;
    TMCrontabModifier &operator=(const TMCrontabModifier &) = delete;

    void setScriptName(const QString &name);

    // Whether the current crontab holds a line of the program for this marker
    // (the rule of CrontabLines.h). False when the crontab could not be read.
    bool checkForJob(const QString &job);

    // Both always answer true; failures reach the user through alerts.
    bool addCronJob(const QString &line);
    bool removeCronJob();

    // What the last add or remove did. A caller must not report a schedule
    // that cron does not have.
    enum class Outcome {
        Changed,     // installed, or nothing was left to remove
        Refused,     // listing or installing failed; the alert was shown
        NotWritten,  // the scratch file could not be written or encoded; no alert
    };
    Outcome lastOutcome() const { return m_lastOutcome; }

    // The crontab as the last add or remove found it, before changing it, so
    // that a save that fails later can put it back.
    struct Snapshot {
        bool known = false; // false: it could not be read
        bool none = false;  // the user had no crontab
        QString text;
    };
    const Snapshot &crontabBefore() const { return m_before; }
    // Installs the snapshot again (removes the crontab when there was none).
    // No alert: the caller reports the failure that made it necessary. False
    // when it could not; that is logged.
    bool restore(const Snapshot &snapshot);

    void getCrontab();
    void createCrontab();

    bool removal() const { return m_removal; }
    const QString &results() const { return m_results; }
    const QString &currentJob() const { return m_currentJob; }
    const QString &scriptName() const { return m_scriptName; }
    const QString &crontabProgram() const { return m_crontabProgram; }

    // The text with every line of the program removed, together with what
    // led up to it (see the .cpp). Pure, so it is tested on its own.
    static QString filterCrontab(const QString &text, const QString &scriptName, const QString &home);
    // Whether any line of the text is the program's.
    static bool holdsProgramLine(const QString &text, const QString &scriptName, const QString &home);
    // Replaces "\n\n" by "\n" until none is left.
    static QString collapseBlankLines(QString text);

private:
    enum class Listing { Read, NoCrontab, Failed };
    Listing readCrontab();
    CommandResult runCrontab(const QStringList &arguments);
    bool writeScratchFile(const QByteArray &bytes);
    void install(const QByteArray &bytes, bool removeInstead, const QString &informativeText);

    AlertPresenter &m_alerts;
    QString m_crontabProgram;
    std::unique_ptr<CommandRunner> m_runner;

    bool m_removal = false;
    Outcome m_lastOutcome = Outcome::Changed;
    QString m_results;
    QString m_currentJob;
    QString m_scriptName;
    Snapshot m_before;
};

} // namespace cv::configurator
