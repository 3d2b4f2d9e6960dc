#pragma once
// Helpers of the start-up tests.

#include <QByteArray>
#include <QStringList>
#include <QTemporaryFile>

#include <cstdio>
#include <utility>
#include <unistd.h>

namespace cv::test {

// Sends this process's standard error (where log lines go) to a file until
// lines() is called.
class CapturedLog
{
public:
    CapturedLog()
    {
        m_file.open();
        std::fflush(stderr);
        ::dup2(m_file.handle(), STDERR_FILENO);
    }
    ~CapturedLog() { release(); }
    CapturedLog(const CapturedLog &) = delete;
    CapturedLog &operator=(const CapturedLog &) = delete;

    // The messages written so far, without their time stamp prefix.
    QStringList lines()
    {
        release();
        m_file.seek(0);
        QStringList messages;
        for (const QByteArray &line : m_file.readAll().split('\n')) {
            if (line.isEmpty())
                continue;
            const qsizetype end = line.indexOf("] ");
            messages << QString::fromUtf8(end < 0 ? line : line.mid(end + 2));
        }
        return messages;
    }

private:
    void release()
    {
        std::fflush(stderr);
        if (m_saved >= 0) {
            ::dup2(m_saved, STDERR_FILENO);
            ::close(std::exchange(m_saved, -1));
        }
    }

    QTemporaryFile m_file;
    int m_saved = ::dup(STDERR_FILENO);
};

} // namespace cv::test
