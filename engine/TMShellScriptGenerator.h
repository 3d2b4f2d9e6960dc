#pragma once
#include <QString>

namespace cv::engine {

class TMShellScriptGenerator
{
public:
    enum class Result { Ready, NotWritten, NotExecutable };

    // Writes text as UTF-8 to path + filename atomically (path ends in "/"),
    // then runs "<chmod> +x" on it. Each failure is logged once, here: a
    // failed write with its reason (chmod is then not run), a failed chmod as
    // "Make task Executable: Unsuccessful". Callers need not log again.
    static Result generateShellScriptFromCommand(const QString &text, const QString &filename, const QString &path,
                                                 const QString &chmod = QStringLiteral("/bin/chmod"));
};

} // namespace cv::engine
