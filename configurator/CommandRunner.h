#pragma once
// Runs a program synchronously and hands back its exit and both output
// streams, kept apart: what a program says on standard error must never be
// mistaken for its output.

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace cv::configurator {

struct CommandResult {
    bool started = false;    // false: the program could not be started at all
    bool normalExit = false; // false: it crashed or was killed after the time limit
    int exitCode = -1;
    QByteArray standardOutput;
    QByteArray standardError;
    QString problem;         // why it did not start or finish, for the log

    bool succeeded() const { return started && normalExit && exitCode == 0; }
};

class CommandRunner
{
public:
    virtual ~CommandRunner() = default;
    // An explicit program and argument list; no shell ever sees them.
    virtual CommandResult run(const QString &program, const QStringList &arguments,
                              const QProcessEnvironment &environment) = 0;
};

// The real thing, over QProcess. The time limit only guards against a child
// that never ends; the window is blocked while it runs.
class ProcessCommandRunner : public CommandRunner
{
public:
    explicit ProcessCommandRunner(int timeoutMs = 120000);
    CommandResult run(const QString &program, const QStringList &arguments,
                      const QProcessEnvironment &environment) override;

private:
    int m_timeoutMs;
};

} // namespace cv::configurator
