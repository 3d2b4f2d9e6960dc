#include "ClientFolders.h"

#include "Names.h"
#include "UserDefaults.h"
#include "WindowSettings.h"

#include <QFileInfo>

#include <algorithm>

namespace cv::configurator {

namespace {

// The same folders the engine's script copies (engine/ScriptBuilder.cpp);
// the two programs share no code beyond the names.
struct ClientFolder {
    const char *client;
    const char *folder;
};
constexpr ClientFolder kClientFolders[] = {
    {names::kAppleMail, "/Library/Mail"},
    {names::kOutlook2011, "/Documents/Microsoft User Data/Office 2011 Identities"},
    {names::kEntourage2008, "/Documents/Microsoft User Data/Office 2008 Identities"},
    {names::kEntourage2004, "/Documents/Microsoft User Data/Office 2004 Identities"},
    {names::kEntourageVX, "/Documents/Microsoft User Data/Office X Identities"},
    {names::kThunderbird, "/Library/Thunderbird"},
    {names::kThunderbird, "/.thunderbird"},
    {names::kThunderbird, "/snap/thunderbird/common/.thunderbird"},
    {names::kThunderbird, "/.var/app/org.mozilla.Thunderbird/.thunderbird"},
    {names::kEudora6, "/Documents/Eudora Folder"},
};

} // namespace

QStringList clientDataFolders(const QString &client, const QString &home)
{
    QStringList folders;
    for (const ClientFolder &entry : kClientFolders) {
        if (client == QLatin1String(entry.client))
            folders << home + QString::fromUtf8(entry.folder);
    }
    return folders;
}

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
