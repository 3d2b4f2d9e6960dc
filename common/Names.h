#pragma once
// The names the programs meet through: files under home, the configuration
// file's keys, client titles, status sentences and the completion
// notification. The rest of the shared contract sits beside it: the clients'
// facts in Clients.h, the settings keys in Settings.h, the backup's names on
// disk in core/BackupFormat.h.

#include <QString>
#include <QStringList>

namespace cv::names {

// Folders and files, as literals relative to home ("~" stands for home).
inline constexpr const char *kMakerSupportFolder = "~/Library/Application Support/Tallowmere/";
inline constexpr const char *kSupportFolder = "~/Library/Application Support/Tallowmere/Corvantis/";
inline constexpr const char *kEngineBundleName = "CVEngine.app";
inline constexpr const char *kConfigFileName = "Config.plist";
inline constexpr const char *kScriptFileName = "corvantis.sh";
inline constexpr const char *kMarkerFileName = "lastbackup";
inline constexpr const char *kScratchCrontabFileName = "crontab";
inline constexpr const char *kLogFile = "~/Library/Logs/Corvantis.log";
inline constexpr const char *kDefaultsFile = "~/Library/Preferences/com.tallowmere.Corvantis.plist";
inline constexpr const char *kDockPreferencesFile = "~/Library/Preferences/com.apple.dock.plist";
// The session environment the configurator records for engines started by cron.
inline constexpr const char *kSessionFileName = "session.env";
// Held by the engine for the whole of a run so that two runs never overlap.
inline constexpr const char *kRunLockFileName = "engine.lock";
// The catch-up agent: its program inside the engine bundle, the record of
// the missed time it last started a backup for, and the lock that keeps it
// single per user.
inline constexpr const char *kAgentExecutableName = "CVAgent";
inline constexpr const char *kCatchUpAttemptFileName = "catchup.attempt";
// A missed time of the schedule before a save, still to be caught up.
inline constexpr const char *kCatchUpMissedFileName = "catchup.missed";
inline constexpr const char *kAgentLockFileName = "agent.lock";
inline constexpr const char *kAgentAutostartFileName = "com.tallowmere.Corvantis.CatchUp.desktop";
// The engine's record of its last run, and the id of its last failure notice.
inline constexpr const char *kLastRunFileName = "lastrun.plist";
inline constexpr const char *kFailureNotificationIdFileName = "failure-notification.id";

// Format with home in place of %@.
inline constexpr const char *kEngineExecutableFormat =
    "%@/Library/Application Support/Tallowmere/Corvantis/CVEngine.app/Contents/MacOS/CVEngine";

// Defaults.
inline constexpr const char *kCurrentConfigurationKey = "currentConfiguration";

// Configuration file keys.
inline constexpr const char *kDestinationKey = "Destination";
inline constexpr const char *kClientKey = "Client";
inline constexpr const char *kRelaunchClientKey = "Relaunch Client";

// Client titles, compared exactly; the rest of each client in Clients.h.
inline constexpr const char *kAppleMail = "Apple Mail";
inline constexpr const char *kOutlook2011 = "Microsoft Outlook 2011";
inline constexpr const char *kEntourage2008 = "Microsoft Entourage 2008";
inline constexpr const char *kEntourage2004 = "Microsoft Entourage 2004";
inline constexpr const char *kEntourageVX = "Microsoft Entourage v.X";
inline constexpr const char *kThunderbird = "Thunderbird";
inline constexpr const char *kEudora6 = "Eudora 6";
QStringList clientNames();

// Status sentences stored under currentConfiguration.
inline constexpr const char *kConfiguredScheduleFormat =
    "Corvantis is currently configured to backup %@ on %@ at %@";
inline constexpr const char *kConfiguredRunNowFormat =
    "Corvantis is currently configured to backup %@ on Run Now only.";
inline constexpr const char *kNotConfiguredDefault = "Corvantis Pro is currently not configured.";
inline constexpr const char *kNotConfigured = "Corvantis is currently not configured.";
bool isNotConfiguredSentence(const QString &sentence);

// Notifications.
inline constexpr const char *kExecutionCompleteNotification =
    "com.tallowmere.Corvantis.executionComplete";

// Log and alert texts shared by both programs.
inline constexpr const char *kSuccessPhrase = "Backup completed successfully";

} // namespace cv::names
