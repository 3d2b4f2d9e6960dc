#include "CommandRunner.h"

#include <QProcess>

namespace cv::configurator {

ProcessCommandRunner::ProcessCommandRunner(int timeoutMs)
    : m_timeoutMs(timeoutMs)
{
}

CommandResult ProcessCommandRunner::run(const QString &program, const QStringList &arguments,
                                        const QProcessEnvironment &environment)
{
    CommandResult result;
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    // Nothing we run reads its input; a closed one keeps it from waiting on us.
    process.setStandardInputFile(QProcess::nullDevice());
    process.start();
    if (!process.waitForStarted(m_timeoutMs)) {
        result.problem = process.errorString();
        return result;
    }
    result.started = true;
    if (!process.waitForFinished(m_timeoutMs)) {
        result.problem = QStringLiteral("no answer after %1 seconds").arg(m_timeoutMs / 1000);
        process.kill();
        process.waitForFinished(5000);
    } else {
        result.normalExit = process.exitStatus() == QProcess::NormalExit;
        if (!result.normalExit)
            result.problem = QStringLiteral("it crashed");
    }
    result.exitCode = process.exitCode();
    result.standardOutput = process.readAllStandardOutput();
    result.standardError = process.readAllStandardError();
    return result;
}

} // namespace cv::configurator
