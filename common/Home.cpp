#include "Home.h"
#include "Names.h"

#include <pwd.h>
#include <unistd.h>

namespace cv {

QString homeDirectory()
{
    QString home = QString::fromLocal8Bit(qgetenv("HOME"));
    if (home.isEmpty()) {
        // cron normally sets HOME, but a bare environment must not put our
        // files at the root of the file system.
        if (const passwd *pw = getpwuid(getuid()); pw && pw->pw_dir)
            home = QString::fromLocal8Bit(pw->pw_dir);
    }
    while (home.size() > 1 && home.endsWith(QLatin1Char('/')))
        home.chop(1);
    return home;
}

QString expandTilde(const QString &path)
{
    if (path == QLatin1String("~"))
        return homeDirectory();
    if (path.startsWith(QLatin1String("~/"))) {
        const QString home = homeDirectory();
        return (home == QLatin1String("/") ? QString() : home) + path.mid(1);
    }
    return path;
}

QString formatWithHome(const char *format)
{
    return QString::fromUtf8(format).replace(QLatin1String("%@"), homeDirectory());
}

QString supportFolder() { return expandTilde(QString::fromUtf8(names::kSupportFolder)); }
QString makerSupportFolder() { return expandTilde(QString::fromUtf8(names::kMakerSupportFolder)); }
QString configFilePath() { return supportFolder() + QLatin1String(names::kConfigFileName); }
QString scriptFilePath() { return supportFolder() + QLatin1String(names::kScriptFileName); }
QString markerFilePath() { return supportFolder() + QLatin1String(names::kMarkerFileName); }
QString scratchCrontabPath() { return makerSupportFolder() + QLatin1String(names::kScratchCrontabFileName); }
QString logFilePath() { return expandTilde(QString::fromUtf8(names::kLogFile)); }
QString defaultsFilePath() { return expandTilde(QString::fromUtf8(names::kDefaultsFile)); }
QString dockPreferencesPath() { return expandTilde(QString::fromUtf8(names::kDockPreferencesFile)); }
QString installedEnginePath() { return supportFolder() + QLatin1String(names::kEngineBundleName); }
QString installedEngineExecutablePath() { return formatWithHome(names::kEngineExecutableFormat); }
QString sessionFilePath() { return supportFolder() + QLatin1String(names::kSessionFileName); }
QString runLockPath() { return supportFolder() + QLatin1String(names::kRunLockFileName); }

} // namespace cv
