#pragma once
// Which of a client's folders (Clients.h) a backup of it copies. The engine's
// script, the configurator's first start and the restore all ask here, so
// that all three mean the same folder.

#include <QString>
#include <QStringList>

namespace cv {

// The folders `client` may keep its data in, classic first, then this
// platform's in order of preference; empty for an unknown title.
QStringList clientDataFolders(const QString &client, const QString &home);

struct ThunderbirdChoice {
    QString folder;      // empty: the classic script
    QStringList skipped; // other existing folders, in order of preference
};
// The platform folder to back up for `home`: of those that exist, the one
// whose profile data was written most recently, the order of preference
// deciding a tie. None where the classic folder exists or no platform
// folder does.
ThunderbirdChoice choosePlatformThunderbirdFolder(const QString &home);

// The folder a backup of `client` copies (Apple Mail's preferences file
// aside): the classic one, or for Thunderbird the chosen platform folder.
QString backedUpDataFolder(const QString &client, const QString &home);

} // namespace cv
