#pragma once
// The catch-up agent's check: reads the configurator's settings (never
// writes them), the marker and its own record of attempts, and starts the
// installed engine, as Run Now does, for a scheduled time that was missed.

#include "CatchUp.h"

#include <QDateTime>

namespace cv::configurator {
class EngineLauncher;
}

namespace cv::agent {

class Clock
{
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const = 0;
};

class SystemClock final : public Clock
{
public:
    QDateTime now() const override { return QDateTime::currentDateTime(); }
};

class CatchUpAgent
{
public:
    // How often the agent looks; after a suspend the next look comes at most
    // this long after waking, since the timer does not count sleep.
    static constexpr std::chrono::minutes kCheckInterval{15};

    CatchUpAgent(const Clock &clock, configurator::EngineLauncher &launcher);

    // One look. Returns what was decided; a run has been started (or its
    // failure logged) when it says so.
    catchup::Decision check();

private:
    const Clock &m_clock;
    configurator::EngineLauncher &m_launcher;
};

} // namespace cv::agent
