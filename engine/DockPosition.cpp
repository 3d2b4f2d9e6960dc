// Where the Dock sits, from its preferences file, and the bubble's anchor.
#include "AppController.h"
#include "Home.h"
#include "PropertyList.h"

namespace cv::engine {

int AppController::getDockPosition()
{
    const auto prefs = cv::platform::readDictionaryFile(cv::dockPreferencesPath());
    if (!prefs)
        return 0;
    const QVariant orientation = prefs->value(QStringLiteral("orientation"));
    if (!orientation.isValid() || orientation.toString() == QLatin1String("bottom"))
        return 0;
    return orientation.toString() == QLatin1String("left") ? 1 : 2;
}

QPointF AppController::anchorPointForDockPosition(int code)
{
    switch (code) {
    case 1:
        return {40, 40};
    case 2:
        return {10, 40};
    default:
        return {10, 80};
    }
}

} // namespace cv::engine
