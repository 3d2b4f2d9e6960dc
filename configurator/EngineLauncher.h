#pragma once
// Launching an application by its bundle path, as Run Now starts the engine.

#include <QString>

namespace cv::configurator {

class EngineLauncher
{
public:
    virtual ~EngineLauncher() = default;
    // Starts the bundle's program detached, without arguments. False when it
    // could not be started; whyNot then says why in one line for the log.
    virtual bool launchApplication(const QString &bundlePath, QString &whyNot) = 0;
    // The process id of what the last successful launch started; 0 when not known.
    virtual qint64 lastLaunchedPid() const { return 0; }
};

// Reads Contents/Info.plist and starts Contents/MacOS/<CFBundleExecutable>.
class BundleEngineLauncher final : public EngineLauncher
{
public:
    bool launchApplication(const QString &bundlePath, QString &whyNot) override;
    qint64 lastLaunchedPid() const override { return m_pid; }

private:
    qint64 m_pid = 0;
};

} // namespace cv::configurator
