#include "Retention.h"

#include "BackupHistory.h"
#include "Names.h"

#include <QFile>

#include <filesystem>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

namespace cv::history {

namespace {

int makeRemovable(const char *path, const struct stat *st, int type, struct FTW *)
{
    // A kept folder may be read-only, which would stop its removal.
    if (type == FTW_D || type == FTW_DNR)
        chmod(path, (st->st_mode & 07777) | S_IRWXU);
    return 0;
}

bool removeFolder(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    nftw(name.constData(), makeRemovable, 32, FTW_PHYS);
    std::error_code error;
    std::filesystem::remove_all(std::filesystem::path(name.toStdString()), error);
    return !error;
}

} // namespace

QStringList pruneVersions(const QString &destination, int keepDays, const QDateTime &now, const LogSink &log)
{
    QStringList removed;
    if (keepDays <= 0)
        return removed;
    const BackupHistory history(destination);
    const QStringList stamps = history.stamps();
    const QDateTime limit = now.addDays(-keepDays);
    for (qsizetype i = 0; i + 1 < stamps.size(); ++i) { // the newest always stays
        if (*timeOfStamp(stamps.at(i)) >= limit)
            break;
        const QString folder = versionsRoot(destination) + QLatin1Char('/') + stamps.at(i);
        if (removeFolder(folder)) {
            removed.append(folder);
            if (log)
                log(QStringLiteral("Removed the earlier versions kept by the backup of %1 (older than %2 days): %3")
                        .arg(timeOfStamp(stamps.at(i))->toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")))
                        .arg(keepDays)
                        .arg(folder));
        } else if (log) {
            log(QStringLiteral("Could not remove all of the earlier versions in '%1'.").arg(folder));
        }
    }
    return removed;
}

std::optional<double> freeShare(const QString &path)
{
    struct statvfs fs;
    if (statvfs(QFile::encodeName(path).constData(), &fs) != 0 || fs.f_blocks == 0)
        return std::nullopt;
    return double(fs.f_bavail) / double(fs.f_blocks);
}

bool warnIfLowOnSpace(const QString &destination, const LogSink &log, std::optional<double> share)
{
    if (!share)
        share = freeShare(destination);
    if (!share || *share >= kLowSpaceShare)
        return false;
    if (log)
        log(QStringLiteral("Warning: only %1 % of the disk holding '%2' is free after this backup.")
                .arg(*share * 100.0, 0, 'f', 1)
                .arg(destination));
    return true;
}

RunVersions RunVersions::forRun(const std::optional<QVariantMap> &configuration,
                                const std::optional<QVariantMap> &defaults, const QDateTime &start)
{
    RunVersions run;
    run.m_settings = HistorySettings::fromDefaults(defaults.value_or(QVariantMap()));
    if (!configuration)
        return run;
    const QVariant destination = configuration->value(QLatin1String(names::kDestinationKey));
    if (destination.typeId() != QMetaType::QString || destination.toString().isEmpty())
        return run;
    run.m_destination = destination.toString();
    if (run.m_settings.enabled)
        run.m_folder = versionsFolderForRun(run.m_destination, start);
    return run;
}

void RunVersions::exportToEnvironment() const
{
    if (enabled())
        qputenv(kVersionsDirVariable, QFile::encodeName(m_folder));
    else
        qunsetenv(kVersionsDirVariable);
}

void RunVersions::finishSuccessfulRun(const QDateTime &now, const LogSink &log) const
{
    if (m_destination.isEmpty())
        return;
    // With versions off, what was kept earlier is left as it is.
    if (enabled())
        pruneVersions(m_destination, m_settings.keepDays, now, log);
    warnIfLowOnSpace(m_destination, log);
}

} // namespace cv::history
