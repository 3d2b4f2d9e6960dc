#pragma once
// Launching an application by its bundle path, as Run Now and the catch-up
// agent start the engine.

#include "Result.h"

#include <QString>

namespace cv::platform {

class EngineLauncher
{
public:
    virtual ~EngineLauncher() = default;
    // Starts the bundle's program detached, without arguments: the process id
    // of what it started (0 when not known), or why not in one line for the log.
    virtual cv::Result<qint64> launchApplication(const QString &bundlePath) = 0;
};

// Reads Contents/Info.plist and starts Contents/MacOS/<CFBundleExecutable>.
class BundleEngineLauncher final : public EngineLauncher
{
public:
    cv::Result<qint64> launchApplication(const QString &bundlePath) override;
};

} // namespace cv::platform
