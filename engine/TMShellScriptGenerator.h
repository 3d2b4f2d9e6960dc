#pragma once
#include "Result.h"

#include <QString>

namespace cv::engine {

class TMShellScriptGenerator
{
public:
    // Writes text as UTF-8 to path + filename atomically (path ends in "/"),
    // then runs "<chmod> +x" on it. Each failure is logged once, here, and is
    // the reason: a failed write with its cause (chmod is then not run), a
    // failed chmod as "Make task Executable: Unsuccessful". Callers need not
    // log again.
    static cv::Result<> generateShellScriptFromCommand(const QString &text, const QString &filename, const QString &path,
                                                 const QString &chmod = QStringLiteral("/bin/chmod"));
};

} // namespace cv::engine
