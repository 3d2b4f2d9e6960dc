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
};

// Reads Contents/Info.plist and starts Contents/MacOS/<CFBundleExecutable>.
class BundleEngineLauncher final : public EngineLauncher
{
public:
    bool launchApplication(const QString &bundlePath, QString &whyNot) override;
};

} // namespace cv::configurator
