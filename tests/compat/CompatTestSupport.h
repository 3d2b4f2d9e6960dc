#pragma once
// Helpers of the compatibility-command tests: a throw-away folder, and
// running a program, optionally as another user, with byte-string texts.

#include "TestSupport.h"

#include <QFile>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace cv::test {

struct ProcessResult {
    int exitCode = -1; // -1: did not start, killed by a signal or timed out
    bool timedOut = false;
    std::string out;
    std::string err;
};

// `environment` holds "NAME=value" entries added to ours.
inline ProcessResult runProcess(const std::vector<std::string> &argv,
                                std::optional<uid_t> asUser = std::nullopt, int timeoutSeconds = 60,
                                const std::vector<std::string> &environment = {})
{
    QStringList args;
    if (asUser) {
        const QString id = QString::number(*asUser);
        args << QStringLiteral("/usr/bin/setpriv") << QStringLiteral("--reuid=") + id
             << QStringLiteral("--regid=") + id << QStringLiteral("--clear-groups") << QStringLiteral("--");
    }
    for (const std::string &a : argv)
        args << QFile::decodeName(a.c_str());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const std::string &e : environment) {
        const QString entry = QFile::decodeName(e.c_str());
        env.insert(entry.section(u'=', 0, 0), entry.section(u'=', 1));
    }
    const RunResult run = runProgram(args.takeFirst(), args, env, timeoutSeconds * 1000);
    const bool ended = !run.crashed && !run.timedOut;
    return {ended ? run.exitCode : -1, run.timedOut, run.out.toStdString(), run.err.toStdString()};
}

inline std::vector<std::string> linesOf(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// A fresh folder under the system's temporary folder, removed afterwards
// even where a test left parts of it unreadable.
class TempFolder
{
public:
    TempFolder()
    {
        std::string pattern = std::filesystem::temp_directory_path().native() + "/cv-compat-XXXXXX";
        if (mkdtemp(pattern.data()))
            m_path = pattern;
    }
    ~TempFolder()
    {
        runProcess({"/bin/chmod", "-R", "u+rwX", m_path});
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;
    const std::string &path() const { return m_path; }
    std::string operator/(const std::string &relative) const { return m_path + "/" + relative; }

private:
    std::string m_path;
};

} // namespace cv::test
