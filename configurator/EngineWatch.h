#pragma once
// Notices when an engine started by Run Now has gone. Run Now minimises the
// window and counts on the engine's completion notification to bring it back;
// an engine that crashes or ends without it must not leave the window so.

#include <QObject>
#include <QTimer>

#include <chrono>

namespace cv::configurator {

class EngineWatch : public QObject
{
    Q_OBJECT
public:
    explicit EngineWatch(std::chrono::milliseconds interval = std::chrono::milliseconds(500), QObject *parent = nullptr);

    // Watches this process instead of any earlier one.
    void watch(qint64 pid);
    bool watching() const { return m_pid > 0; }

    // Whether the process exists and has not ended (a zombie has ended).
    static bool isRunning(qint64 pid);

signals:
    void ended();

private:
    void poll();

    QTimer m_timer;
    qint64 m_pid = 0;
};

} // namespace cv::configurator
