#include "RunReport.h"

#include "AgentLink.h"
#include "DesktopNotifier.h"
#include "Home.h"
#include "LastRun.h"
#include "Log.h"
#include "Names.h"
#include "PropertyList.h"
#include "SmallFile.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSaveFile>

namespace cv::engine {

using platform::NSLog;

namespace {

QString noticeIdPath() { return cv::supportFolder() + QLatin1String(names::kFailureNotificationIdFileName); }

uint readNoticeId()
{
    // Never waits on a FIFO in the file's place: the run lock may still be held.
    QByteArray bytes;
    QString problem;
    if (catchup::readSmallFile(noticeIdPath(), 32, bytes, problem) != catchup::SmallFile::Read)
        return 0;
    return bytes.trimmed().toUInt();
}

// The agent beside this program, told to show the end of this run.
bool startAgentBeside()
{
    const QString agent = QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(names::kAgentExecutableName);
    if (!QFileInfo(agent).isExecutable())
        return false;
    QProcess process;
    process.setProgram(agent);
    process.setArguments({QStringLiteral("--run-ended")});
    // It outlives us: it must hold none of our streams open.
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    return process.startDetached();
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
    , m_startAgent(startAgentBeside)
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

void RunReport::begin()
{
    m_clock.start();
    m_startedAt = QDateTime::currentDateTime();
}

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
    LastRun run;
    run.time = QDateTime::currentDateTime();
    run.succeeded = success;
    if (!success) {
        run.reason = failureReason();
        if (!m_roomMade.isEmpty())
            run.reason += QLatin1Char('\n') + m_roomMade;
    }
    run.durationSeconds = m_clock.isValid() ? m_clock.elapsed() / 1000.0 : 0.0;
    const QFileInfo marker(cv::markerFilePath());
    // Second-granular file times on some file systems: a little slack.
    if (success && m_startedAt.isValid() && (!marker.exists() || marker.lastModified() < m_startedAt.addSecs(-2))) {
        run.succeeded = false;
        run.reason = QStringLiteral("The backup was made, but its date could not be recorded in '%1'.").arg(marker.filePath());
        NSLog(run.reason);
    }
    const QString path = cv::supportFolder() + QLatin1String(names::kLastRunFileName);
    if (!platform::writeDictionaryXmlAtomically(path, run.toDictionary()))
        NSLog(QStringLiteral("Could not record the outcome of this run in '%1'.").arg(path));
    if (!run.succeeded)
        m_reason = run.reason;
    m_handedOver = handOff(run.succeeded);
}

bool RunReport::handOff(bool success)
{
    if (AgentLink::tellRunEnded())
        return true;
    if (!success)
        return m_startAgent && m_startAgent();
    // No agent: a notice an earlier engine left is withdrawn all the same.
    if (const uint id = readNoticeId()) {
        notifier().close(id);
        QFile::remove(noticeIdPath());
    }
    return false;
}

void RunReport::notifyRoomMade()
{
    // A success is not news, unless it cost earlier versions. A notice of its
    // own, so that the agent's failure notice keeps its id.
    if (!m_roomMade.isEmpty())
        notifier().notify(QStringLiteral("Backup completed"), m_roomMade, {}, 0);
}

platform::DesktopNotifier &RunReport::notifier()
{
    if (!m_notifier) {
        m_ownNotifier = std::make_unique<platform::FreedesktopNotifier>();
        setNotifier(m_ownNotifier.get());
    }
    return *m_notifier;
}

void RunReport::notifyFailure()
{
    if (m_handedOver)
        return;
    const QStringList actions{QLatin1String(kOpenLogAction), QStringLiteral("Open Log")};
    if (const auto id = notifier().notify(QStringLiteral("Backup failed"), failureReason(), actions, readNoticeId())) {
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
