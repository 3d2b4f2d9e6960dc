#include "ClientFolders.h"

#include "ClientData.h"
#include "Names.h"
#include "UserDefaults.h"
#include "WindowSettings.h"

#include <QFileInfo>

#include <algorithm>

namespace cv::configurator {

bool clientDataFound(const QString &client, const QString &home)
{
    const QStringList folders = clientDataFolders(client, home);
    return std::any_of(folders.begin(), folders.end(), [](const QString &f) { return QFileInfo(f).isDir(); });
}

QString firstStartClient(const QString &home)
{
    const QString thunderbird = QString::fromUtf8(names::kThunderbird);
    const QString appleMail = QString::fromUtf8(names::kAppleMail);
    if (clientDataFound(thunderbird, home) && !clientDataFound(appleMail, home))
        return thunderbird;
    return appleMail;
}

QString firstStartDestination() { return {}; }

void applyFirstStartDefaults(WindowSettings &settings, const platform::UserDefaults &defaults, const QString &home)
{
    if (!defaults.hasKey(QLatin1String(keys::kEmailSource)))
        settings.client = firstStartClient(home);
    if (!defaults.hasKey(QLatin1String(keys::kBackupDestination)))
        settings.destination = firstStartDestination();
}

} // namespace cv::configurator
