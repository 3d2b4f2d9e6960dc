#pragma once
// The Off-site pane's "Check" and "Create": what is at a repository string,
// said in plain words, within a time bound. Nothing is written by a check.

#include "Restic.h"

#include <chrono>

namespace cv::offsite {

inline constexpr std::chrono::seconds kCheckLimit{30};

// `restic cat config`: opens the repository with the password, changes nothing.
QStringList checkArguments();
QStringList createArguments();

// The sentence the pane shows for a check's result.
QString checkSentence(const ResticResult &result);
QString createSentence(const ResticResult &result);

} // namespace cv::offsite
