#pragma once
// One off-site attempt, as CVOffsite makes it after a successful local run:
// under its own lock, restic backup of the destination folder (without the
// local version store), and on their days forget/prune and a slice of the
// integrity check. The outcome goes to offsite.plist; a failure gets its own
// desktop notice. Never touches the local backup or its record.

#include "OffsiteRecord.h"
#include "Restic.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

namespace cv::platform { class DesktopNotifier; }

namespace cv::offsite {

class SecretStore;

struct SendSettings {
    bool enabled = false;
    QString repository;
    QString source; // the destination folder of the local backup
    QString client;
    int keepDays = 0; // the History pane's period; 0 keeps everything

    // From the configurator's settings and the configuration file.
    static SendSettings read(const QString &defaultsPath, const QString &configPath);
};

class OffsiteSender : public QObject
{
    Q_OBJECT
public:
    enum class Outcome { Disabled, Busy, Waiting, Sent, Failed };

    // An unreachable repository or an upload that no longer moves ends the
    // attempt after this long.
    static constexpr std::chrono::minutes kStallLimit{2};
    static constexpr int kForgetEveryDays = 7;
    static constexpr int kCheckEveryDays = 30;
    // The action key of the failure notice's "Open Log" button.
    static constexpr const char *kOpenLogAction = "open-log";

    OffsiteSender(SecretStore &secrets, QString resticProgram, QObject *parent = nullptr);
    ~OffsiteSender() override;

    // Not owned; without one failures are only recorded and logged.
    void setNotifier(platform::DesktopNotifier *notifier);
    void setOpenLogHandler(std::function<void()> handler) { m_openLog = std::move(handler); }
    void setLog(std::function<void(const QString &)> log) { m_log = std::move(log); }
    void setStallLimit(std::chrono::milliseconds limit) { m_stallLimit = limit; }

    Outcome send(const SendSettings &settings, const QDateTime &now);
    // From a signal handler's notifier: ends the running restic cleanly.
    void interrupt();
    // The id of the failure notice this process showed, 0 when none.
    uint noticeId() const { return m_noticeId; }

private:
    ResticResult runRestic(const QString &repository, const QString &password, const QStringList &arguments,
                           std::chrono::milliseconds timeLimit);
    ResticResult runOnce(const QString &repository, const QString &password, const QStringList &arguments,
                         std::chrono::milliseconds timeLimit);
    bool unlockStale(const QString &repository, const QString &password);
    ResticResult backup(const SendSettings &settings, const QString &password, OffsiteRecord &record);
    void upkeep(const SendSettings &settings, const QString &password, const QDateTime &now, OffsiteRecord &record);
    Outcome fail(OffsiteRecord &record, const QString &reason, const QDateTime &now);
    void onProgressLine(const QByteArray &line, OffsiteRecord &record);
    void notifyFailure(const QString &reason);
    void log(const QString &line) const;
    // Writes the record; one that cannot be written is logged.
    void keep(const OffsiteRecord &record) const;

    SecretStore &m_secrets;
    QString m_program;
    platform::DesktopNotifier *m_notifier = nullptr;
    std::function<void()> m_openLog;
    std::function<void(const QString &)> m_log;
    std::chrono::milliseconds m_stallLimit = kStallLimit;
    QPointer<ResticRun> m_current;
    bool m_interrupted = false;
    uint m_noticeId = 0;
    qint64 m_lastProgressKey = -1;
    qint64 m_lastProgressWrite = 0;
};

} // namespace cv::offsite
