#include "CatchUpEntry.h"

#include "CatchUp.h"
#include "Home.h"
#include "Log.h"
#include "Names.h"
#include "UserDefaults.h"
#include "WindowSettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>

namespace cv::configurator {

QString autostartFolder()
{
    const QString configHome = QFile::decodeName(qgetenv("XDG_CONFIG_HOME"));
    // A relative value is invalid and must be ignored.
    if (!configHome.isEmpty() && QDir::isAbsolutePath(configHome))
        return QDir::cleanPath(configHome) + QStringLiteral("/autostart");
    return cv::homeDirectory() + QStringLiteral("/.config/autostart");
}

QString catchUpEntryPath()
{
    return autostartFolder() + QLatin1Char('/') + QLatin1String(names::kAgentAutostartFileName);
}

QString installedAgentPath()
{
    return cv::installedEnginePath() + QStringLiteral("/Contents/MacOS/") + QLatin1String(names::kAgentExecutableName);
}

QString execQuoted(const QString &path)
{
    QString quoted = QStringLiteral("\"");
    for (const QChar c : path) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        if (c == QLatin1Char('%'))
            quoted += QLatin1Char('%');
        quoted += c;
    }
    quoted += QLatin1Char('"');
    return quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
}

QString catchUpEntryText(const QString &agentPath)
{
    // A line feed cannot stand in a value; such a home has no usable entry.
    QString exec = execQuoted(agentPath);
    // The desktop looks the program up before it expands "%%" back to "%":
    // such a path is handed to env, which the lookup finds.
    if (agentPath.contains(QLatin1Char('%')))
        exec.prepend(QStringLiteral("/usr/bin/env "));
    exec.replace(QLatin1Char('\n'), QStringLiteral("\\n")).replace(QLatin1Char('\r'), QStringLiteral("\\r"));
    // The plain path, string-escaped: the desktop skips the entry while no
    // agent is installed there (an engine older than the agent).
    QString tryExec = agentPath;
    tryExec.replace(QLatin1Char('\\'), QStringLiteral("\\\\"))
        .replace(QLatin1Char('\n'), QStringLiteral("\\n"))
        .replace(QLatin1Char('\r'), QStringLiteral("\\r"));
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Corvantis Catch-up\n"
                          "Comment=Runs a scheduled backup that was missed while the computer was off or asleep\n"
                          "TryExec=%2\n"
                          "Exec=%1\n"
                          "Icon=com.tallowmere.Corvantis\n"
                          "Terminal=false\n"
                          "NoDisplay=true\n"
                          "X-GNOME-Autostart-enabled=true\n")
        .arg(exec, tryExec);
}

bool catchUpEntryWanted(const platform::UserDefaults &defaults)
{
    const settings::SavedSchedule saved = savedSchedule(defaults);
    return saved.catchUpWanted && saved.scheduled && !saved.runNowOnly;
}

void settleTimeBeforeSave(const catchup::SavedSchedule &before, const catchup::SavedSchedule &after,
                          const QDateTime &now)
{
    const QString folder = cv::supportFolder();
    const QString attemptPath = folder + QLatin1String(names::kCatchUpAttemptFileName);
    std::optional<QDateTime> lastBackup;
    if (const QFileInfo marker(cv::markerFilePath()); marker.exists())
        lastBackup = marker.lastModified();
    const auto missed = catchup::readTimeRecord(folder + QLatin1String(names::kCatchUpMissedFileName)).time;
    // A time the old schedule missed, neither backed up nor attempted, is
    // still owed: carried over the save for the agent, never settled. The
    // preference does not settle it: the agent asks it when it runs.
    catchup::SavedSchedule judged = before;
    judged.catchUpWanted = true;
    const catchup::Decision owed =
        catchup::decide(judged, now, lastBackup, catchup::readTimeRecord(attemptPath).time, missed);
    if (owed.run()) {
        const QString path = folder + QLatin1String(names::kCatchUpMissedFileName);
        if (const cv::Result<> written = catchup::writeAttempt(path, owed.scheduledTime); !written)
            platform::NSLog(QStringLiteral("Could not write the catch-up record '%1': %2").arg(path, written.reason()));
        return;
    }
    if (!after.firesByItself())
        return;
    const auto passed = catchup::mostRecentScheduledTime(after.days, *after.time, now);
    if (!passed)
        return;
    if (before.firesByItself() && catchup::mostRecentScheduledTime(before.days, *before.time, now) == passed)
        return; // cron had that time before the save: missing it is a real miss
    if (const cv::Result<> written = catchup::writeAttempt(attemptPath, *passed); !written)
        platform::NSLog(
            QStringLiteral("Could not write the catch-up record '%1': %2").arg(attemptPath, written.reason()));
}

cv::Result<> DetachedAgentStarter::start()
{
    QProcess process;
    process.setProgram(installedAgentPath());
    // It outlives the configurator: it must hold none of its streams open.
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    if (process.startDetached())
        return {};
    return cv::fail(process.errorString());
}

CatchUpEntryState updateCatchUpEntry(const platform::UserDefaults &defaults, AgentStarter *startAgent)
{
    CatchUpEntryState state;
    state.wanted = catchUpEntryWanted(defaults);
    const QString path = catchUpEntryPath();
    if (!state.wanted) {
        if (!QFileInfo::exists(path) || QFile::remove(path))
            return state;
        state.problem = QStringLiteral("'%1': it could not be removed").arg(path);
        platform::NSLog(QStringLiteral("Could not remove the catch-up login entry '%1'.").arg(path));
        return state;
    }
    QDir().mkpath(autostartFolder());
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(catchUpEntryText(installedAgentPath()).toUtf8());
        file.commit();
    }
    if (file.error() != QFileDevice::NoError) {
        state.problem = QStringLiteral("'%1': %2").arg(path, file.errorString());
        platform::NSLog(QStringLiteral("Could not write the catch-up login entry '%1': %2").arg(path, file.errorString()));
        return state;
    }
    if (!startAgent)
        return state;
    if (const cv::Result<> started = startAgent->start(); !started)
        platform::NSLog(QStringLiteral("Could not start the catch-up agent: %1").arg(started.reason()));
    return state;
}

QString catchUpEntryAlertText(const CatchUpEntryState &state)
{
    return QStringLiteral("The schedule is saved, but missed backups will not be caught up: the login entry that "
                          "catches them up could not be written.\n%1")
        .arg(state.problem);
}

QString catchUpOffLine()
{
    return QStringLiteral("Catch-up is off: its login entry could not be written.");
}

} // namespace cv::configurator
