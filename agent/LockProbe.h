#pragma once
// Whether some process holds the run lock, told without taking it: taking it
// even for an instant could turn away an engine that cron starts in that
// instant ("Another backup is already running").

#include <QString>

namespace cv::agent {

// Looks the lock file's device and inode up in the kernel's table of held
// locks (/proc/locks). A missing file, or a table that cannot be read, counts
// as not held: the engine's own lock still keeps two runs apart.
bool lockHeld(const QString &path, const QString &lockTable = QStringLiteral("/proc/locks"));

} // namespace cv::agent
