#pragma once
// The catch-up agent's check: reads the configurator's settings (never
// writes them), the marker and its own records, and starts the installed
// engine, as Run Now does, for a scheduled time that was missed.

#include "CatchUp.h"

#include <QDateTime>

namespace cv::platform {
class EngineLauncher;
}

namespace cv::agent {

class NoticeKeeper;

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

    // notices may be null: problems are then only logged.
    CatchUpAgent(const Clock &clock, platform::EngineLauncher &launcher, NoticeKeeper *notices = nullptr);

    // One look. Returns what was decided; a run has been started (or its
    // failure logged, recorded and shown) when it says so.
    catchup::Decision check();

private:
    // A catch-up that cannot be decided or started: a log line every look,
    // a notice at most once a day.
    void stopped(const QString &why);
    bool start(const catchup::Decision &decision, const catchup::TimeRecord &previous);

    const Clock &m_clock;
    platform::EngineLauncher &m_launcher;
    NoticeKeeper *m_notices;
    QDateTime m_failedToStartFor; // the missed time whose engine would not start, noticed once
};

} // namespace cv::agent
