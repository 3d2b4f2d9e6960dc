#pragma once
// Reading the small records the agent and the engine keep beside each other
// (the attempt record, the notice id). Such a file is only ever written by
// replacing it, so anything but a regular file in its place is damage or
// mischief: it is refused at once, never waited on.

#include <QByteArray>
#include <QString>

namespace cv::catchup {

enum class SmallFile { Absent, Read, Unusable };

// Reads at most maxBytes. Unusable (with the reason, worded to follow the
// file's name) for a FIFO, device, socket or folder, and for a file that
// cannot be opened or read.
SmallFile readSmallFile(const QString &path, qint64 maxBytes, QByteArray &bytes, QString &problem);

} // namespace cv::catchup
