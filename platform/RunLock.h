#pragma once
// An exclusive lock on a file, held until release or until the last process
// holding its descriptor ends; the kernel drops it when the holders die, so a
// crash never blocks later runs.

#include <QString>

namespace cv::platform {

class RunLock
{
public:
    enum class Acquire {
        Acquired,
        Busy,     // another process holds it
        Unusable, // the lock file cannot be opened or locked; see error()
    };

    RunLock() = default;
    ~RunLock();
    RunLock(const RunLock &) = delete;
    RunLock &operator=(const RunLock &) = delete;

    Acquire tryAcquire(const QString &path);
    // Unlocks for every holder of the descriptor (a child that inherited it
    // included), then closes ours.
    void release();
    bool held() const { return m_fd >= 0; }
    // The locked descriptor (close-on-exec, above the standard streams), -1
    // when not held. A child given a copy of it keeps the lock held for as
    // long as it, or anything it started with the copy, runs.
    int descriptor() const { return m_fd; }
    // Why the last tryAcquire found the file unusable.
    const QString &error() const { return m_error; }

private:
    int m_fd = -1;
    QString m_error;
};

} // namespace cv::platform
