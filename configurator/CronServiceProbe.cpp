#include "CronServiceProbe.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace cv::configurator {
namespace {

// Pid files and comm files are a line; anything bigger is not one of them.
QByteArray readSmallFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(64);
}

bool isProcessFolderName(const QString &name)
{
    if (name.isEmpty())
        return false;
    for (const QChar c : name) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

} // namespace

QStringList SystemCronServiceProbe::defaultPidFiles()
{
    return {QStringLiteral("/run/crond.pid"), QStringLiteral("/var/run/crond.pid"),
            QStringLiteral("/run/cron.pid"), QStringLiteral("/var/run/cron.pid")};
}

SystemCronServiceProbe::SystemCronServiceProbe(QStringList pidFiles, QString procRoot)
    : m_pidFiles(std::move(pidFiles))
    , m_procRoot(std::move(procRoot))
{
}

bool SystemCronServiceProbe::cronServiceRunning()
{
    for (const QString &pidFile : m_pidFiles) {
        if (pidFileNamesLiveProcess(pidFile))
            return true;
    }
    return cronProcessRunning();
}

bool SystemCronServiceProbe::pidFileNamesLiveProcess(const QString &pidFile) const
{
    const QByteArray text = readSmallFile(pidFile).trimmed();
    bool ok = false;
    const qlonglong pid = text.toLongLong(&ok);
    // A stale file from a service that is gone names no process folder.
    return ok && pid > 0 && QFileInfo(m_procRoot + QLatin1Char('/') + QString::number(pid)).isDir();
}

bool SystemCronServiceProbe::cronProcessRunning() const
{
    const QStringList entries = QDir(m_procRoot).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        if (!isProcessFolderName(entry))
            continue;
        const QByteArray name = readSmallFile(m_procRoot + QLatin1Char('/') + entry + QLatin1String("/comm")).trimmed();
        if (name == "cron" || name == "crond")
            return true;
    }
    return false;
}

} // namespace cv::configurator
