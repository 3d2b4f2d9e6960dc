#include "RunReport.h"

#include "DesktopNotifier.h"
#include "Home.h"
#include "LastRun.h"
#include "Log.h"
#include "Names.h"
#include "PropertyList.h"

#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>

namespace cv::engine {

using platform::NSLog;

namespace {

QString noticeIdPath() { return cv::supportFolder() + QLatin1String(names::kFailureNotificationIdFileName); }

uint readNoticeId()
{
    QFile file(noticeIdPath());
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return file.read(32).trimmed().toUInt();
}

void writeNoticeId(uint id)
{
    QSaveFile file(noticeIdPath());
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QByteArray::number(id) + '\n');
        file.commit();
    }
}

} // namespace

RunReport::RunReport(QObject *parent)
    : QObject(parent)
{
}

RunReport::~RunReport() = default;

void RunReport::setNotifier(platform::DesktopNotifier *notifier)
{
    if (m_notifier)
        disconnect(m_notifier, nullptr, this, nullptr);
    m_notifier = notifier;
    if (m_notifier)
        connect(m_notifier, &platform::DesktopNotifier::actionInvoked, this, &RunReport::onAction);
}

void RunReport::begin() { m_clock.start(); }

void RunReport::addOutput(const QString &chunk)
{
    // Chunks are not aligned to lines; only the last two lines matter.
    QString text = m_partial + chunk;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        const QString line = lines[i].trimmed();
        if (line.isEmpty())
            continue;
        m_previousLine = m_lastLine;
        m_lastLine = line;
    }
    m_partial = lines.constLast().right(1024);
}

QString RunReport::failureReason() const
{
    if (!m_reason.isEmpty())
        return m_reason;
    QString last = m_lastLine;
    QString previous = m_previousLine;
    if (!m_partial.trimmed().isEmpty()) {
        previous = last;
        last = m_partial.trimmed();
    }
    // "<date>: Backup failed. …" without the date.
    static const QRegularExpression report(QStringLiteral(": (Backup (?:failed|completed with errors)\\..*)$"));
    const QRegularExpressionMatch match = report.match(last);
    if (!match.hasMatch())
        return last.isEmpty() ? QStringLiteral("The backup ended without a report.") : last;
    if (match.captured(1).contains(QLatin1String("see above")) && !previous.isEmpty())
        return QStringLiteral("Backup failed: ") + previous;
    return match.captured(1);
}

void RunReport::finish(bool success)
{
    catchup::LastRun run;
    run.time = QDateTime::currentDateTime();
    run.succeeded = success;
    if (!success)
        run.reason = failureReason();
    run.durationSeconds = m_clock.isValid() ? m_clock.elapsed() / 1000.0 : 0.0;
    const QString path = cv::supportFolder() + QLatin1String(names::kLastRunFileName);
    if (!platform::writeDictionaryXmlAtomically(path, run.toDictionary()))
        NSLog(QStringLiteral("Could not record the outcome of this run in '%1'.").arg(path));
}

void RunReport::notifyFailure()
{
    QString body = failureReason();
    if (!m_roomMade.isEmpty())
        body += QLatin1Char('\n') + m_roomMade;
    notify(QStringLiteral("Backup failed"), body);
}

void RunReport::notifyRoomMade()
{
    // A success is not news, unless it cost earlier versions.
    if (!m_roomMade.isEmpty())
        notify(QStringLiteral("Backup completed"), m_roomMade);
}

void RunReport::notify(const QString &title, const QString &body)
{
    if (!m_notifier) {
        m_ownNotifier = std::make_unique<platform::FreedesktopNotifier>();
        setNotifier(m_ownNotifier.get());
    }
    const QStringList actions{QLatin1String(kOpenLogAction), QStringLiteral("Open Log")};
    if (const auto id = m_notifier->notify(title, body, actions, readNoticeId())) {
        m_noticeId = *id;
        writeNoticeId(*id);
    }
}

void RunReport::onAction(uint id, const QString &key)
{
    if (id == m_noticeId && m_noticeId != 0 && key == QLatin1String(kOpenLogAction) && m_openLog)
        m_openLog();
}

} // namespace cv::engine
