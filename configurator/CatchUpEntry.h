#pragma once
// The login entry that starts the catch-up agent: an XDG autostart desktop
// entry, present exactly while a schedule is saved (not for Run Now only)
// and the user wants missed backups caught up.

#include "CatchUp.h"
#include "Result.h"

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

// The entry's text for an agent at that path. Exec= follows the Desktop
// Entry quoting rules for every byte a home can hold (a path holding "%"
// runs through /usr/bin/env, since desktops look the program up unexpanded).
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

// Starts the installed agent at once, so that a save or the preference
// turned on needs no new login (a laptop that only ever suspends has none).
// Tests substitute their own: no stray agents.
class AgentStarter
{
public:
    virtual ~AgentStarter() = default;
    // Why not in one line, when it could not be started.
    virtual cv::Result<> start() = 0;
};

class DetachedAgentStarter final : public AgentStarter
{
public:
    cv::Result<> start() override;
};

// A state whose problem nobody looks at would hide that missed backups are
// no longer caught up: hence [[nodiscard]].
struct [[nodiscard]] CatchUpEntryState {
    bool wanted = false;
    QString problem; // the entry could not be written or removed: "'<path>': <reason>"
    // Missed backups are wanted caught up, but the agent would never start.
    bool catchUpOff() const { return wanted && !problem.isEmpty(); }
};

// Writes or removes the entry as the settings ask (a log line when that
// fails); when the entry is wanted and written and an agent starter is
// given, starts the agent too (a second agent leaves at once by itself).
CatchUpEntryState updateCatchUpEntry(const platform::UserDefaults &defaults, AgentStarter *startAgent = nullptr);

// The alert's text for an entry that could not be written.
QString catchUpEntryAlertText(const CatchUpEntryState &state);
// The window's line while catch-up is off for that reason.
QString catchUpOffLine();

} // namespace cv::configurator
