#include "TMShellScriptGenerator.h"

#include "Log.h"
#include "PropertyList.h"

#include <QFile>

#include <cerrno>
#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

namespace cv::engine {
namespace {

// Runs "<chmod> +x path" and waits for it. True on exit status 0.
bool makeExecutable(const QString &chmod, const QString &path)
{
    QByteArray program = QFile::encodeName(chmod);
    QByteArray mode("+x");
    QByteArray target = QFile::encodeName(path);
    char *argv[] = {program.data(), mode.data(), target.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, program.constData(), nullptr, nullptr, argv, environ) != 0)
        return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

cv::Result<> TMShellScriptGenerator::generateShellScriptFromCommand(const QString &text, const QString &filename,
                                                                    const QString &path, const QString &chmod)
{
    const QString fullPath = path + filename;
    QString error;
    QString problem;
    if (!cv::platform::writeFileAtomically(fullPath, text.toUtf8(), &error))
        problem = QStringLiteral("Could not write the script file \"%1\": %2; no backup was made.").arg(fullPath, error);
    else if (!makeExecutable(chmod, fullPath))
        problem = QStringLiteral("Make task Executable: Unsuccessful");
    if (problem.isEmpty())
        return {};
    cv::platform::NSLog(problem);
    return cv::fail(problem);
}

} // namespace cv::engine
