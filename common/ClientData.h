#pragma once
// Where each client keeps its data in a home, and which folder a backup of it
// copies. Shared by the engine's script, the configurator's first start and
// the restore, so that all three mean the same folder.

#include <QString>
#include <QStringList>

namespace cv {

// Thunderbird as installed here: its profiles live in one of these folders of
// home (plain package, snap, Flatpak), in order of preference.
inline constexpr const char *kPlatformThunderbirdFolders[] = {
    "/.thunderbird", "/snap/thunderbird/common/.thunderbird", "/.var/app/org.mozilla.Thunderbird/.thunderbird"};

// The folders `client` may keep its data in, classic first, then this
// platform's in order of preference; empty for an unknown title.
QStringList clientDataFolders(const QString &client, const QString &home);

struct ThunderbirdChoice {
    QString folder;      // empty: the classic script
    QStringList skipped; // other existing folders, in order of preference
};
// The platform folder to back up for `home`: of those that exist, the one
// whose profile data was written most recently, the order of preference
// deciding a tie. None where the classic "Library/Thunderbird" exists or no
// platform folder does.
ThunderbirdChoice choosePlatformThunderbirdFolder(const QString &home);

// The folder a backup of `client` copies (Apple Mail's preferences file
// aside): the classic one, or for Thunderbird the chosen platform folder.
QString backedUpDataFolder(const QString &client, const QString &home);

} // namespace cv
