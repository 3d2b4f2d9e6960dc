#pragma once
// What the preferences window needs from the configurator's main controller.

class QObject;

namespace cv::configurator::windows {

class PreferencesClient
{
public:
    virtual ~PreferencesClient() = default;
    // Starts a user-requested update check at once.
    virtual void checkForUpdates(QObject *sender) = 0;
};

} // namespace cv::configurator::windows
