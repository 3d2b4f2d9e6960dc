#include "OffsiteSender.h"

#include "DesktopNotifier.h"
#include "HistoryNames.h"
#include "Home.h"
#include "Names.h"
#include "PropertyList.h"
#include "RunLock.h"
#include "SecretStore.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace cv::offsite {

namespace {

QString noticeIdPath() { return cv::supportFolder() + QStringLiteral("offsite-notification.id"); }

uint readNoticeId()
{
    QFile file(noticeIdPath());
    return file.open(QIODevice::ReadOnly) ? file.read(32).trimmed().toUInt() : 0;
}

void writeNoticeId(uint id)
{
    QSaveFile file(noticeIdPath());
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QByteArray::number(id) + '\n');
        file.commit();
    }
}

bool lockedOut(const ResticResult &result)
{
    return !result.ok() && result.errors.contains(QLatin1String("repository is already locked"), Qt::CaseInsensitive);
}

bool dueAfter(const std::optional<QDateTime> &last, const QDateTime &now, int days)
{
    return !last || last->daysTo(now) >= days || *last > now;
}

} // namespace

SendSettings SendSettings::read(const QString &defaultsPath, const QString &configPath)
{
    SendSettings settings;
    const QVariantMap defaults = platform::readDictionaryFile(defaultsPath).value_or(QVariantMap{});
    const QVariantMap config = platform::readDictionaryFile(configPath).value_or(QVariantMap{});
    const QVariant enabled = defaults.value(QLatin1String(kEnabledKey));
    settings.enabled = enabled.typeId() == QMetaType::Bool && enabled.toBool();
    settings.repository = defaults.value(QLatin1String(kRepositoryKey)).toString().trimmed();
    settings.source = cv::expandTilde(config.value(QLatin1String(names::kDestinationKey)).toString());
    settings.client = config.value(QLatin1String(names::kClientKey)).toString();
    settings.keepDays = history::HistorySettings::fromDefaults(defaults).keepDays;
    return settings;
}

OffsiteSender::OffsiteSender(SecretStore &secrets, QString resticProgram, QObject *parent)
    : QObject(parent)
    , m_secrets(secrets)
    , m_program(std::move(resticProgram))
{
}

OffsiteSender::~OffsiteSender() = default;

void OffsiteSender::setNotifier(platform::DesktopNotifier *notifier)
{
    if (m_notifier)
        disconnect(m_notifier, nullptr, this, nullptr);
    m_notifier = notifier;
    if (m_notifier) {
        connect(m_notifier, &platform::DesktopNotifier::actionInvoked, this, [this](uint id, const QString &key) {
            if (id == m_noticeId && m_noticeId != 0 && key == QLatin1String(kOpenLogAction) && m_openLog)
                m_openLog();
        });
    }
}

void OffsiteSender::log(const QString &line) const
{
    if (m_log)
        m_log(line);
}

void OffsiteSender::interrupt()
{
    m_interrupted = true;
    if (m_current)
        m_current->interrupt();
}

bool OffsiteSender::unlockStale(const QString &repository, const QString &password)
{
    // Our lock is held, so no restic of ours runs on this machine: what
    // `unlock` removes (locks of dead processes here, or stale ones) is never
    // another machine's live lock. Run only when a lock was in the way, since
    // each restic start costs a key derivation.
    log(QStringLiteral("The off-site repository is locked; removing stale locks left by this computer."));
    return runOnce(repository, password, {QStringLiteral("unlock")}, m_stallLimit).ok();
}

ResticResult OffsiteSender::runRestic(const QString &repository, const QString &password,
                                      const QStringList &arguments, std::chrono::milliseconds timeLimit)
{
    ResticResult result = runOnce(repository, password, arguments, timeLimit);
    if (lockedOut(result) && unlockStale(repository, password))
        result = runOnce(repository, password, arguments, timeLimit);
    return result;
}

ResticResult OffsiteSender::runOnce(const QString &repository, const QString &password,
                                    const QStringList &arguments, std::chrono::milliseconds timeLimit)
{
    ResticRun run(m_program);
    run.setTimeLimit(timeLimit);
    m_current = &run;
    ResticResult result = m_interrupted ? ResticResult{Problem::Interrupted, -1, sentenceFor(Problem::Interrupted), {}, {}}
                                        : run.run(repository, password, arguments);
    m_current = nullptr;
    return result;
}

OffsiteSender::Outcome OffsiteSender::send(const SendSettings &settings, const QDateTime &now)
{
    if (!settings.enabled || settings.repository.isEmpty())
        return Outcome::Disabled;
    QDir().mkpath(cv::supportFolder());
    platform::RunLock lock;
    switch (lock.tryAcquire(lockPath())) {
    case platform::RunLock::Acquire::Acquired:
        break;
    case platform::RunLock::Acquire::Busy:
        log(QStringLiteral("An off-site copy is already being sent; this one was skipped."));
        return Outcome::Busy;
    case platform::RunLock::Acquire::Unusable:
        log(QStringLiteral("No off-site copy sent: %1.").arg(lock.error()));
        return Outcome::Failed;
    }
    OffsiteRecord record = OffsiteRecord::read(recordPath());
    if (settings.source.isEmpty() || !QFileInfo(settings.source).isDir())
        return fail(record, QStringLiteral("The backup folder \"%1\" is not there.").arg(settings.source), now);

    const SecretStore::Lookup secret = m_secrets.lookup(settings.repository);
    if (secret.status == SecretStore::Status::Unavailable) {
        // From cron with nobody logged in: the agent's next look in a session sends.
        log(QStringLiteral("Off-site copy postponed: the Secret Service cannot be reached (%1).").arg(secret.error));
        record.pending = true;
        keep(record);
        return Outcome::Waiting;
    }
    if (secret.status == SecretStore::Status::NotFound)
        return fail(record, QStringLiteral("No password for this repository is stored; enter it in the Off-site preferences."), now);

    ResticResult result = backup(settings, secret.password, record);
    if (lockedOut(result) && unlockStale(settings.repository, secret.password))
        result = backup(settings, secret.password, record);
    QFile::remove(progressPath());
    if (!result.ok())
        return fail(record, result.reason, now);
    upkeep(settings, secret.password, now, record);
    record.time = now;
    record.succeeded = record.reason.isEmpty();
    record.pending = false;
    keep(record);
    if (!record.succeeded) {
        log(QStringLiteral("Off-site copy failed: %1").arg(record.reason));
        notifyFailure(record.reason);
        return Outcome::Failed;
    }
    log(QStringLiteral("Off-site copy sent: snapshot %1, %2 added.").arg(record.snapshotId, byteCountText(record.bytesAdded)));
    return Outcome::Sent;
}

ResticResult OffsiteSender::backup(const SendSettings &settings, const QString &password, OffsiteRecord &record)
{
    ResticRun run(m_program);
    run.setStallLimit(m_stallLimit);
    run.setLineHandler([this, &record, &run](const QByteArray &line) {
        const qint64 before = m_lastProgressKey;
        onProgressLine(line, record);
        if (m_lastProgressKey != before)
            run.noteProgress();
    });
    record.reason.clear();
    record.snapshotId.clear();
    record.bytesAdded = 0;
    m_lastProgressKey = -1;
    const QString source = QDir::cleanPath(settings.source);
    QStringList arguments{QStringLiteral("backup"), QStringLiteral("--json"),
                          QStringLiteral("--exclude"),
                          escapePattern(source + QLatin1Char('/') + QLatin1String(format::kVersionsFolder))};
    if (!settings.client.isEmpty())
        arguments << QStringLiteral("--tag") << QString(settings.client).replace(QLatin1Char(','), QLatin1Char(' '));
    arguments << source;
    m_current = &run;
    ResticResult result = m_interrupted ? ResticResult{Problem::Interrupted, -1, sentenceFor(Problem::Interrupted), {}, {}}
                                        : run.run(settings.repository, password, arguments);
    m_current = nullptr;
    // Exit status 3: a snapshot was made, but some files could not be read.
    if (result.exitCode == 3 && !record.snapshotId.isEmpty()) {
        result.problem = Problem::Other;
        result.reason = QStringLiteral("Some files could not be read; snapshot %1 lacks them.").arg(record.snapshotId);
    }
    return result;
}

void OffsiteSender::onProgressLine(const QByteArray &line, OffsiteRecord &record)
{
    const QJsonObject object = QJsonDocument::fromJson(line).object();
    const QString type = object.value(QStringLiteral("message_type")).toString();
    if (type == QLatin1String("summary")) {
        record.snapshotId = object.value(QStringLiteral("snapshot_id")).toString();
        record.bytesAdded = qint64(object.value(QStringLiteral("data_added")).toDouble());
        return;
    }
    if (type != QLatin1String("status"))
        return;
    OffsiteProgress progress;
    progress.pid = QCoreApplication::applicationPid();
    progress.bytesDone = qint64(object.value(QStringLiteral("bytes_done")).toDouble());
    progress.totalBytes = qint64(object.value(QStringLiteral("total_bytes")).toDouble());
    progress.fraction = object.value(QStringLiteral("percent_done")).toDouble();
    const qint64 key = progress.bytesDone ^ (qint64(object.value(QStringLiteral("files_done")).toDouble()) << 40)
        ^ (qint64(object.value(QStringLiteral("total_files")).toDouble()) << 20) ^ progress.totalBytes;
    if (key != m_lastProgressKey) {
        m_lastProgressKey = key;
        // At most one write a second: the window reads it every few seconds.
        const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
        if (nowMs - m_lastProgressWrite >= 1000) {
            m_lastProgressWrite = nowMs;
            platform::writeDictionaryXmlAtomically(progressPath(), progress.toDictionary());
        }
    }
}

void OffsiteSender::upkeep(const SendSettings &settings, const QString &password, const QDateTime &now,
                           OffsiteRecord &record)
{
    using namespace std::chrono;
    if (settings.keepDays > 0 && dueAfter(record.lastForget, now, kForgetEveryDays)) {
        const ResticResult forget = runRestic(settings.repository, password,
                                              {QStringLiteral("forget"), QStringLiteral("--keep-within"),
                                               QStringLiteral("%1d").arg(settings.keepDays), QStringLiteral("--prune")},
                                              hours(6));
        if (forget.ok())
            record.lastForget = now;
        else
            log(QStringLiteral("Removing old off-site snapshots failed (tried again next time): %1").arg(forget.reason));
    }
    if (dueAfter(record.lastCheck, now, kCheckEveryDays)) {
        // A twelfth of the data each month: every stored byte read back in a year.
        const ResticResult check = runRestic(settings.repository, password,
                                             {QStringLiteral("check"),
                                              QStringLiteral("--read-data-subset=%1/12").arg(record.nextCheckSlice)},
                                             hours(6));
        if (check.ok()) {
            record.lastCheck = now;
            record.nextCheckSlice = record.nextCheckSlice % 12 + 1;
        } else if (check.problem == Problem::Other) {
            record.reason = QStringLiteral("The check of the off-site repository found a problem: %1")
                                .arg(check.errors.trimmed().section(QLatin1Char('\n'), -1));
        } else {
            log(QStringLiteral("Checking the off-site repository failed (tried again next time): %1").arg(check.reason));
        }
    }
}

void OffsiteSender::keep(const OffsiteRecord &record) const
{
    if (!record.write(recordPath()))
        log(QStringLiteral("Could not record the off-site copy in '%1'.").arg(recordPath()));
}

OffsiteSender::Outcome OffsiteSender::fail(OffsiteRecord &record, const QString &reason, const QDateTime &now)
{
    record.time = now;
    record.succeeded = false;
    record.reason = reason;
    record.pending = false;
    keep(record);
    log(QStringLiteral("Off-site copy failed: %1").arg(reason));
    // Ended by a logout or shutdown: nobody is there to read a notice, and the
    // next try resumes.
    if (!m_interrupted)
        notifyFailure(reason);
    return Outcome::Failed;
}

void OffsiteSender::notifyFailure(const QString &reason)
{
    if (!m_notifier)
        return;
    const QStringList actions{QLatin1String(kOpenLogAction), QStringLiteral("Open Log")};
    if (const auto id = m_notifier->notify(QStringLiteral("Off-site copy failed"), reason, actions, readNoticeId())) {
        m_noticeId = *id;
        writeNoticeId(*id);
    }
}

} // namespace cv::offsite
