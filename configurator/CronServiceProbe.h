#pragma once
// Whether a cron service runs on this machine: without one a schedule in the
// crontab never fires.

#include <QString>
#include <QStringList>

namespace cv::configurator {

// The line the window shows under the status line, and logs once per start,
// when no cron service runs.
inline constexpr const char *kNoCronServiceLine =
    "Scheduled backups will not start until the cron service runs.";

class CronServiceProbe
{
public:
    virtual ~CronServiceProbe() = default;
    virtual bool cronServiceRunning() = 0;
};

// Looks for the service as the system knows it: a pid file that names a live
// process, or a running process called "cron" or "crond".
class SystemCronServiceProbe final : public CronServiceProbe
{
public:
    // /run/crond.pid, /var/run/crond.pid, /run/cron.pid, /var/run/cron.pid
    static QStringList defaultPidFiles();

    explicit SystemCronServiceProbe(QStringList pidFiles = defaultPidFiles(),
                                    QString procRoot = QStringLiteral("/proc"));
    bool cronServiceRunning() override;

private:
    bool pidFileNamesLiveProcess(const QString &pidFile) const;
    bool cronProcessRunning() const;

    QStringList m_pidFiles;
    QString m_procRoot;
};

} // namespace cv::configurator
