#pragma once
// An exclusive lock on a file, held until release or until the process ends;
// the kernel drops it when the holder dies, so a crash never blocks later runs.

#include <QString>

namespace cv::platform {

class RunLock
{
public:
    RunLock() = default;
    ~RunLock();
    RunLock(const RunLock &) = delete;
    RunLock &operator=(const RunLock &) = delete;

    // False when another process holds it or the file cannot be opened.
    bool tryAcquire(const QString &path);
    void release();
    bool held() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

} // namespace cv::platform
