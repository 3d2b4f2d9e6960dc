#include "NoticeKeeper.h"

#include "DesktopNotifier.h"
#include "Home.h"
#include "LastRun.h"
#include "Log.h"
#include "Names.h"
#include "PropertyList.h"
#include "SmallFile.h"

#include <QFile>

namespace cv::agent {

namespace {
QString failureIdPath() { return cv::supportFolder() + QLatin1String(names::kFailureNotificationIdFileName); }
} // namespace

NoticeKeeper::NoticeKeeper(platform::DesktopNotifier &notifier, std::function<void()> openLog, QObject *parent)
    : QObject(parent)
    , m_notifier(notifier)
    , m_openLog(std::move(openLog))
{
    connect(&m_notifier, &platform::DesktopNotifier::actionInvoked, this, &NoticeKeeper::onAction);
    connect(&m_notifier, &platform::DesktopNotifier::closed, this, &NoticeKeeper::onClosed);
}

QString NoticeKeeper::bounded(const QString &reason)
{
    QString text = reason.simplified();
    if (text.size() > kMaxBodyLength)
        text = text.left(kMaxBodyLength - 1).trimmed() + QChar(0x2026);
    return text;
}

void NoticeKeeper::runEnded()
{
    QString problem;
    const auto dictionary = platform::readDictionaryFile(cv::supportFolder() + QLatin1String(names::kLastRunFileName), &problem);
    const auto run = dictionary ? LastRun::fromDictionary(*dictionary) : std::nullopt;
    if (!run) {
        platform::NSLog(QStringLiteral("The record of the last run could not be read; no notice was shown."));
        return;
    }
    if (run->succeeded)
        withdrawFailure();
    else
        showFailure(run->reason);
}

void NoticeKeeper::showFailure(const QString &reason)
{
    const QStringList actions{QLatin1String(kOpenLogAction), QStringLiteral("Open Log")};
    const uint replaces = m_failureId != 0 ? m_failureId : storedFailureId();
    if (const auto id = m_notifier.notify(QStringLiteral("Backup failed"), bounded(reason), actions, replaces)) {
        m_failureId = *id;
        storeFailureId(*id);
    }
}

void NoticeKeeper::withdrawFailure()
{
    // One an engine or an earlier agent left on the screen goes too.
    const uint id = m_failureId != 0 ? m_failureId : storedFailureId();
    m_failureId = 0;
    if (id != 0)
        m_notifier.close(id);
    QFile::remove(failureIdPath());
    if (id != 0)
        emit failureGone();
}

void NoticeKeeper::showProblem(const QString &reason, const QDate &today)
{
    if (m_problemDay == today)
        return;
    m_problemDay = today;
    const QStringList actions{QLatin1String(kOpenLogAction), QStringLiteral("Open Log")};
    if (const auto id = m_notifier.notify(QStringLiteral("Missed backup not caught up"), bounded(reason), actions,
                                          m_problemId))
        m_problemId = *id;
}

void NoticeKeeper::onAction(uint id, const QString &key)
{
    if (id != 0 && (id == m_failureId || id == m_problemId) && key == QLatin1String(kOpenLogAction) && m_openLog)
        m_openLog();
}

void NoticeKeeper::onClosed(uint id)
{
    if (id == 0 || id != m_failureId)
        return;
    m_failureId = 0;
    QFile::remove(failureIdPath());
    emit failureGone();
}

uint NoticeKeeper::storedFailureId() const
{
    QByteArray bytes;
    QString problem;
    if (catchup::readSmallFile(failureIdPath(), 32, bytes, problem) != catchup::SmallFile::Read)
        return 0;
    return bytes.trimmed().toUInt();
}

void NoticeKeeper::storeFailureId(uint id)
{
    if (!platform::writeFileAtomically(failureIdPath(), QByteArray::number(id) + '\n'))
        platform::NSLog(QStringLiteral("Could not record the id of the failure notice in '%1'.").arg(failureIdPath()));
}

} // namespace cv::agent
