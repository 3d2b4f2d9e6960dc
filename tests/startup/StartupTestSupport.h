#pragma once
// Helpers of the start-up tests.

#include <QStringList>
#include <QTemporaryFile>

#include <cstdio>
#include <unistd.h>

namespace cv::test {

// Sends this process's standard error, where log lines go, to a file; lines()
// ends that and returns the messages without their time stamp prefix.
class CapturedLog
{
public:
    CapturedLog() { m_file.open(); std::fflush(stderr); ::dup2(m_file.handle(), STDERR_FILENO); }
    ~CapturedLog() { release(); }

    QStringList lines()
    {
        release();
        m_file.seek(0);
        QStringList messages;
        for (const QByteArray &line : m_file.readAll().split('\n')) {
            if (!line.isEmpty())
                messages << QString::fromUtf8(line.mid(line.indexOf("] ") + 2));
        }
        return messages;
    }

private:
    void release()
    {
        std::fflush(stderr);
        if (m_saved >= 0) { ::dup2(m_saved, STDERR_FILENO); ::close(m_saved); m_saved = -1; }
    }

    QTemporaryFile m_file;
    int m_saved = ::dup(STDERR_FILENO);
};

} // namespace cv::test
