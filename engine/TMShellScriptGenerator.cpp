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

// Runs "/bin/chmod +x path" and waits for it. True on exit status 0.
bool makeExecutable(const QString &path)
{
    QByteArray program("/bin/chmod");
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

bool TMShellScriptGenerator::generateShellScriptFromCommand(const QString &text, const QString &filename,
                                                            const QString &path)
{
    const QString fullPath = path + filename;
    const bool written = cv::platform::writeFileAtomically(fullPath, text.toUtf8());
    if (!written)
        cv::platform::NSLog(QStringLiteral("Could not write the script file \"%1\"").arg(fullPath));
    // chmod runs even after a failed write, so that failure also shows up as
    // the familiar line; the result still reports it.
    const bool executable = makeExecutable(fullPath);
    if (!executable)
        cv::platform::NSLog(QStringLiteral("Make task Executable: Unsuccessful"));
    return written && executable;
}

} // namespace cv::engine
