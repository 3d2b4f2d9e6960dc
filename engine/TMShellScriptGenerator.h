#pragma once
#include <QString>

namespace cv::engine {

class TMShellScriptGenerator
{
public:
    // Writes text as UTF-8 to path + filename atomically (path ends in "/"),
    // then runs "/bin/chmod +x" on it. Logs "Make task Executable:
    // Unsuccessful" when chmod fails. True when the file was written and made
    // executable; callers that only follow the old contract may ignore it.
    static bool generateShellScriptFromCommand(const QString &text, const QString &filename, const QString &path);
};

} // namespace cv::engine
