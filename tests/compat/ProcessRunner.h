#pragma once
// Runs a program with an exact byte-string argument list (file names here may
// not be valid UTF-8), optionally as another user, and collects its output.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace cv::test {

struct ProcessResult {
    bool exited = false;   // false: killed by a signal or timed out
    int exitCode = -1;
    int signal = 0;
    bool timedOut = false;
    std::string out;
    std::string err;
};

ProcessResult runProcess(const std::vector<std::string> &argv,
                         std::optional<uid_t> asUser = std::nullopt, int timeoutSeconds = 60,
                         const std::vector<std::string> &extraEnvironment = {});

// The lines of a text, without their line feeds.
std::vector<std::string> linesOf(const std::string &text);

} // namespace cv::test
