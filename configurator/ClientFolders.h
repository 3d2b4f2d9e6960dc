#pragma once
// Where each client keeps its data in a home, as the engine backs it up, and
// what a first start offers from that: on this platform only Thunderbird can
// have data, and then mostly in a folder of its own outside ~/Library.

#include "ClientData.h"

#include <QString>
#include <QStringList>

namespace cv::platform {
class UserDefaults;
}

namespace cv::configurator {

struct WindowSettings;

using cv::clientDataFolders;
// Whether any of them exists as a folder.
bool clientDataFound(const QString &client, const QString &home);

// The client a first start offers: Thunderbird when its data is here and
// Apple Mail's is not, else Apple Mail.
QString firstStartClient(const QString &home);
// The destination a first start shows: none, so that a save asks for one
// rather than backing up into "/".
QString firstStartDestination();

// Gives the client and the destination that were never stored their
// first-start values.
void applyFirstStartDefaults(WindowSettings &settings, const platform::UserDefaults &defaults,
                             const QString &home);

} // namespace cv::configurator
