#include "WindowSettings.h"

#include "Names.h"
#include "PropertyList.h"
#include "UserDefaults.h"

#include <QDataStream>
#include <QDir>
#include <QFileInfo>
#include <QIODevice>

#include <cerrno>
#include <cstring>

namespace cv::configurator {

namespace {
const QLatin1String kL(const char *s) { return QLatin1String(s); }
} // namespace

Schedule WindowSettings::schedule(const QTime &fallbackTime) const
{
    Schedule s;
    s.days = days;
    s.time = time ? time->time() : fallbackTime;
    s.client = client;
    s.destination = destination;
    s.relaunch = launchClient;
    return s;
}

Result<> savePreferences(platform::UserDefaults &defaults, const WindowSettings &settings)
{
    defaults.setString(kL(keys::kEmailSource), settings.client);
    defaults.setString(kL(keys::kBackupDestination), settings.destination);
    defaults.setString(kL(keys::kVersion), QStringLiteral("2.0"));
    // Monday first here, Sunday last: the order the settings were always written in.
    for (std::size_t i : {1, 2, 3, 4, 5, 6, 0})
        defaults.setInteger(kL(keys::kDayKeys[i]), settings.days[i] ? 1 : 0);
    if (settings.time)
        defaults.setData(kL(keys::kTime), archiveDateTime(*settings.time));
    defaults.setInteger(kL(keys::kLaunchClient), settings.launchClient ? 1 : 0);
    defaults.setString(kL(names::kCurrentConfigurationKey), settings.currentConfiguration);
    return defaults.synchronize();
}

WindowSettings loadPreferences(const platform::UserDefaults &defaults)
{
    WindowSettings s;
    s.client = defaults.string(kL(keys::kEmailSource), QString::fromUtf8(names::kAppleMail));
    s.destination = defaults.string(kL(keys::kBackupDestination), QStringLiteral("/"));
    const settings::SavedSchedule saved = savedSchedule(defaults);
    s.days = saved.days;
    s.time = saved.pickerTime;
    s.launchClient = defaults.integer(kL(keys::kLaunchClient)) != 0;
    s.currentConfiguration = defaults.string(kL(names::kCurrentConfigurationKey), QString::fromUtf8(names::kNotConfiguredDefault));
    return s;
}

settings::SavedSchedule savedSchedule(const platform::UserDefaults &defaults)
{
    return settings::savedScheduleFrom(defaults.snapshot().values);
}

cv::Result<> writeConfiguration(const QString &path, const Schedule &schedule)
{
    QVariantMap config;
    config.insert(kL(names::kDestinationKey), schedule.destination);
    config.insert(kL(names::kClientKey), schedule.client);
    if (schedule.relaunch)
        config.insert(kL(names::kRelaunchClientKey), qlonglong(1));
    errno = 0;
    // The shared writer also keeps an unreadable old file aside rather than
    // replacing it unseen.
    if (platform::writeDictionaryXmlAtomically(path, config))
        return {};
    const QString folder = QFileInfo(path).absolutePath();
    if (!QFileInfo(folder).isDir())
        return cv::fail(QStringLiteral("The folder \"%1\" does not exist.").arg(folder));
    if (!QFileInfo(folder).isWritable())
        return cv::fail(QStringLiteral("The folder \"%1\" cannot be written to.").arg(folder));
    return cv::fail(errno ? QString::fromLocal8Bit(std::strerror(errno)) : QStringLiteral("The file could not be written."));
}

} // namespace cv::configurator
