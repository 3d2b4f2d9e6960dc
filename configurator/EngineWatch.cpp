#include "EngineWatch.h"

#include <QFile>

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
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !stat.open(QIODevice::ReadOnly))
        return false;
    // "pid (name) S ...": the name may hold anything, so the state is the
    // first field after its last ")".
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    if (close < 0 || close + 2 >= line.size())
        return false;
    const char state = line.at(close + 2);
    return state != 'Z' && state != 'X';
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
