#include "Restic.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QRegularExpression>
#include <QTimer>

#include <csignal>

namespace cv::offsite {

namespace {

// How long restic may take to end after SIGINT before it is killed.
constexpr std::chrono::seconds kInterruptGrace{15};

bool mentionsAny(const QString &text, std::initializer_list<const char *> needles)
{
    for (const char *needle : needles) {
        if (text.contains(QLatin1String(needle), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

// restic's own last word, without its "Fatal: " prefix.
QString lastFatalLine(const QString &errors)
{
    const QStringList lines = errors.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (auto it = lines.crbegin(); it != lines.crend(); ++it) {
        if (it->startsWith(QLatin1String("Fatal: ")))
            return it->mid(7).trimmed();
    }
    for (auto it = lines.crbegin(); it != lines.crend(); ++it) {
        if (!it->startsWith(QLatin1String("reading repository password")))
            return it->trimmed();
    }
    return {};
}

} // namespace

QString escapePattern(const QString &path)
{
    QString escaped;
    for (const QChar c : path) {
        if (c == QLatin1Char('*') || c == QLatin1Char('?') || c == QLatin1Char('[') || c == QLatin1Char('\\'))
            escaped += QLatin1Char('\\');
        escaped += c;
    }
    return escaped;
}

QString sentenceFor(Problem problem, const QString &detail)
{
    switch (problem) {
    case Problem::None:
        return {};
    case Problem::NotInstalled:
        return QStringLiteral("restic is not installed. Install the Debian package \"restic\" "
                              "(sudo apt install restic).");
    case Problem::NoRepository:
        return QStringLiteral("There is no restic repository there yet.");
    case Problem::WrongPassword:
        return QStringLiteral("The password does not open this repository.");
    case Problem::Unreachable:
        return detail.isEmpty() ? QStringLiteral("The repository could not be reached.")
                                : QStringLiteral("The repository could not be reached (%1).").arg(detail);
    case Problem::Stalled:
        return QStringLiteral("The repository stopped answering; the upload goes on at the next try.");
    case Problem::Interrupted:
        return QStringLiteral("The upload was interrupted; it goes on at the next try.");
    case Problem::Other:
        return detail.isEmpty() ? QStringLiteral("restic failed.") : QStringLiteral("restic failed: %1").arg(detail);
    }
    return {};
}

ResticResult classify(int exitCode, const QString &errors)
{
    ResticResult result;
    result.exitCode = exitCode;
    result.errors = errors;
    if (exitCode == 0)
        return result;
    const QString fatal = lastFatalLine(errors);
    if (mentionsAny(errors, {"wrong password or no key found"})) {
        result.problem = Problem::WrongPassword;
    } else if (mentionsAny(errors, {"dial tcp", "connection refused", "no such host", "i/o timeout",
                                    "network is unreachable", "no route to host", "connection reset",
                                    "Client.Timeout", "ssh: connect", "Connection timed out",
                                    "Could not resolve hostname", "unable to start the sftp session"})) {
        result.problem = Problem::Unreachable;
        static const QRegularExpression cause(QStringLiteral("(connection refused|no such host|i/o timeout|"
                                                             "network is unreachable|no route to host|"
                                                             "connection reset by peer)"),
                                              QRegularExpression::CaseInsensitiveOption);
        const auto match = cause.match(errors);
        result.reason = sentenceFor(result.problem, match.hasMatch() ? match.captured(1).toLower() : QString());
        return result;
    } else if (mentionsAny(errors, {"Is there a repository at the following location?",
                                    "unable to open config file", "repository does not exist"})) {
        result.problem = Problem::NoRepository;
    } else {
        result.problem = Problem::Other;
        result.reason = sentenceFor(result.problem, fatal.isEmpty() ? QStringLiteral("exit status %1").arg(exitCode) : fatal);
        return result;
    }
    result.reason = sentenceFor(result.problem);
    return result;
}

ResticRun::ResticRun(QString program, QObject *parent)
    : QObject(parent)
    , m_program(std::move(program))
    , m_limitTimer(new QTimer(this))
    , m_stallTimer(new QTimer(this))
    , m_killTimer(new QTimer(this))
{
    qRegisterMetaType<cv::offsite::ResticResult>();
    for (QTimer *timer : {m_limitTimer, m_stallTimer, m_killTimer})
        timer->setSingleShot(true);
    connect(m_limitTimer, &QTimer::timeout, this, [this] { interrupt(Problem::Unreachable); });
    connect(m_stallTimer, &QTimer::timeout, this, [this] { interrupt(Problem::Stalled); });
    connect(m_killTimer, &QTimer::timeout, this, [this] {
        if (m_process)
            m_process->kill();
    });
}

ResticRun::~ResticRun()
{
    if (m_process && m_process->state() != QProcess::NotRunning) {
        // Never leave a restic behind holding the repository's lock.
        ::kill(pid_t(m_process->processId()), SIGINT);
        if (!m_process->waitForFinished(int(std::chrono::milliseconds(kInterruptGrace).count())))
            m_process->kill();
        m_process->waitForFinished(1000);
    }
}

QProcessEnvironment ResticRun::cleanEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"RESTIC_PASSWORD", "RESTIC_PASSWORD_FILE", "RESTIC_PASSWORD_COMMAND",
                             "RESTIC_REPOSITORY", "RESTIC_REPOSITORY_FILE", "RESTIC_KEY_HINT"})
        environment.remove(QString::fromLatin1(name));
    // A status line a second even without a terminal, so a stall is seen.
    environment.insert(QStringLiteral("RESTIC_PROGRESS_FPS"), QStringLiteral("1"));
    return environment;
}

bool ResticRun::running() const
{
    return !m_done;
}

void ResticRun::start(const QString &repository, const QString &password, const QStringList &arguments)
{
    delete m_process;
    m_process = new QProcess(this);
    m_done = false;
    m_endedBy = Problem::None;
    m_pending.clear();
    m_output.clear();
    m_process->setProcessEnvironment(cleanEnvironment());
    if (!m_outputFile.isEmpty())
        m_process->setStandardOutputFile(m_outputFile, QIODevice::Truncate);
    connect(m_process, &QProcess::readyReadStandardOutput, this, &ResticRun::onReadyRead);
    connect(m_process, &QProcess::finished, this, &ResticRun::onFinished);
    connect(m_process, &QProcess::errorOccurred, this, &ResticRun::onStartFailed);
    QStringList all{QStringLiteral("--repo"), repository};
    all += arguments;
    m_process->start(m_program, all);
    if (!m_process->waitForStarted(10000))
        return; // errorOccurred has ended the run
    m_process->write(password.toUtf8() + '\n');
    m_process->closeWriteChannel();
    if (m_timeLimit.count() > 0)
        m_limitTimer->start(m_timeLimit);
    if (m_stallLimit.count() > 0)
        m_stallTimer->start(m_stallLimit);
}

void ResticRun::noteProgress()
{
    if (m_stallLimit.count() > 0 && m_stallTimer->isActive())
        m_stallTimer->start(m_stallLimit);
}

void ResticRun::onReadyRead()
{
    const QByteArray chunk = m_process->readAllStandardOutput();
    if (!m_onLine) {
        m_output += chunk;
        return;
    }
    m_pending += chunk;
    qsizetype end;
    while ((end = m_pending.indexOf('\n')) >= 0) {
        const QByteArray line = m_pending.left(end);
        m_pending.remove(0, end + 1);
        m_onLine(line);
    }
}

void ResticRun::interrupt(Problem why)
{
    if (m_done || !m_process || m_endedBy != Problem::None)
        return;
    m_endedBy = why;
    m_limitTimer->stop();
    m_stallTimer->stop();
    // restic ends on SIGINT after removing its lock.
    ::kill(pid_t(m_process->processId()), SIGINT);
    m_killTimer->start(kInterruptGrace);
}

void ResticRun::onStartFailed(QProcess::ProcessError error)
{
    if (error != QProcess::FailedToStart || m_done)
        return;
    ResticResult result;
    result.problem = Problem::NotInstalled;
    result.reason = sentenceFor(Problem::NotInstalled);
    finish(result);
}

void ResticRun::onFinished(int exitCode, QProcess::ExitStatus status)
{
    if (m_done)
        return;
    onReadyRead();
    if (m_onLine && !m_pending.isEmpty())
        m_onLine(std::exchange(m_pending, {}));
    const QString errors = QString::fromUtf8(m_process->readAllStandardError());
    ResticResult result = classify(status == QProcess::NormalExit ? exitCode : -1, errors);
    if (m_endedBy != Problem::None) {
        result.problem = m_endedBy;
        result.reason = m_endedBy == Problem::Unreachable
            ? QStringLiteral("The repository did not answer within %1 seconds.")
                  .arg(std::chrono::duration_cast<std::chrono::seconds>(m_timeLimit).count())
            : sentenceFor(m_endedBy);
    } else if (status != QProcess::NormalExit) {
        result.problem = Problem::Other;
        result.reason = sentenceFor(Problem::Other, QStringLiteral("it was ended by a signal"));
    }
    result.output = std::exchange(m_output, {});
    finish(result);
}

void ResticRun::finish(ResticResult result)
{
    m_done = true;
    m_limitTimer->stop();
    m_stallTimer->stop();
    m_killTimer->stop();
    m_result = result;
    emit finished(result);
}

ResticResult ResticRun::wait()
{
    // Not a QEventLoop: an application quit ends every running loop, and
    // the run's result must still be awaited (restic may be removing its lock).
    while (!m_done)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return m_result;
}

ResticResult ResticRun::run(const QString &repository, const QString &password, const QStringList &arguments)
{
    start(repository, password, arguments);
    return wait();
}

} // namespace cv::offsite
