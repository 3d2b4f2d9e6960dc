#pragma once
// The only code that touches the user's crontab. It keeps one line of the
// program there, next to whatever the user has: every add or remove reads the
// crontab afresh, drops the program's lines and installs the rest again.

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

    // Whether the current crontab contains the text. False when the crontab
    // could not be read.
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

    void getCrontab();
    void createCrontab();

    bool removal() const { return m_removal; }
    const QString &results() const { return m_results; }
    const QString &currentJob() const { return m_currentJob; }
    const QString &scriptName() const { return m_scriptName; }
    const QString &crontabProgram() const { return m_crontabProgram; }

    // The text with every line of the program removed, together with what
    // led up to it (see the .cpp). Pure, so it is tested on its own.
    static QString filterCrontab(const QString &text, const QString &scriptName);
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
};

} // namespace cv::configurator
