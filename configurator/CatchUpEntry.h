#pragma once
// The login entry that starts the catch-up agent: an XDG autostart desktop
// entry, present exactly while a schedule is saved (not for Run Now only)
// and the user wants missed backups caught up.

#include "CatchUp.h"

#include <QDateTime>
#include <QString>

namespace cv::platform {
class UserDefaults;
}

namespace cv::configurator {

// $XDG_CONFIG_HOME/autostart when that is an absolute path, else
// ~/.config/autostart.
QString autostartFolder();
QString catchUpEntryPath();

// The installed agent inside the support folder's engine bundle.
QString installedAgentPath();

// The entry's text for an agent at that path.
QString catchUpEntryText(const QString &agentPath);

// Quotes a program path for an Exec line: inside double quotes with ", `, $
// and \ escaped, % doubled, then every \ doubled again as the entry's string
// escaping asks.
QString execQuoted(const QString &path);

// Whether the stored settings ask for the entry.
bool catchUpEntryWanted(const platform::UserDefaults &defaults);

// A save can make a schedule whose most recent time has already passed. That
// time was never missed unless the schedule before the save had it too, so
// the agent is told it was handled: otherwise saving a schedule would set off
// a backup, which quits the user's mail client, minutes later. But when the
// schedule before the save had missed a time (neither backed up nor
// attempted), that backup is still owed: the miss is carried over the save
// and caught up once, and nothing is settled.
void settleTimeBeforeSave(const catchup::SavedSchedule &before, const catchup::SavedSchedule &after,
                          const QDateTime &now);

// Writes or removes the entry as the settings ask. False (and a log line)
// when the file could not be written or removed.
bool updateCatchUpEntry(const platform::UserDefaults &defaults);

} // namespace cv::configurator
