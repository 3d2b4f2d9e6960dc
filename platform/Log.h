#pragma once
// The one log function of both programs and the redirection of standard error
// onto the shared log file.

#include <QString>

namespace cv::platform {

// Writes "YYYY-MM-DD HH:MM:SS.mmm Process[pid:tid] message" and a line feed to
// standard error in a single write, so lines of concurrent processes sharing
// the log never interleave mid-line. The message is text, never a format.
void NSLog(const QString &message);

// The prefix alone, for tests and for callers that need the exact layout.
QString logLinePrefix();

// std::freopen(path, "a", stderr): creates the file when missing and appends.
// The parent folder is created first. False when the file could not be
// opened; standard error then keeps pointing where it pointed.
bool reopenStandardError(const QString &path);

} // namespace cv::platform
