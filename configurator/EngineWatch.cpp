#include "EngineWatch.h"

#include "ProcessTable.h"

#include <limits>

namespace cv::configurator {

EngineWatch::EngineWatch(std::chrono::milliseconds interval, QObject *parent)
    : QObject(parent)
{
    m_timer.setInterval(interval);
    connect(&m_timer, &QTimer::timeout, this, &EngineWatch::poll);
}

void EngineWatch::watch(qint64 pid)
{
    m_pid = pid;
    if (pid > 0)
        m_timer.start();
    else
        m_timer.stop();
}

bool EngineWatch::isRunning(qint64 pid)
{
    return pid > 0 && pid <= std::numeric_limits<pid_t>::max() && processes::isRunning(pid_t(pid));
}

void EngineWatch::poll()
{
    if (isRunning(m_pid))
        return;
    m_timer.stop();
    m_pid = 0;
    emit ended();
}

} // namespace cv::configurator
