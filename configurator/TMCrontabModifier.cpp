#include "TMCrontabModifier.h"

#include "CrontabLines.h"
#include "Home.h"
#include "Log.h"
#include "PropertyList.h"

#include <QStringDecoder>
#include <QStringEncoder>

namespace cv::configurator {
namespace {

const QString kSchedulingError = QStringLiteral("Scheduling Error");
const QString kRemoveFailed = QStringLiteral("Unable to schedule backup.");
const QString kAddFailed = QStringLiteral("Unable to save settings.");

// With LC_ALL=C this is what the crontab program says, on standard error with
// exit status 1 and nothing on standard output, when the user has no crontab.
bool saysNoCrontab(const QByteArray &standardError)
{
    return standardError.contains("no crontab for ");
}

// The crontab program refuses a file whose last line has no line feed.
QString withFinalLineFeed(QString text)
{
    if (!text.isEmpty() && !text.endsWith(QLatin1Char('\n')))
        text.append(QLatin1Char('\n'));
    return text;
}

bool isSingleLineBreak(const QString &text)
{
    return text == QLatin1String("\n") || text == QLatin1String("\r\n") || text == QLatin1String("\r");
}

// Walks the text line by line. Each step runs from the end of the previous
// line's content (stepStart) over any blank lines and leading whitespace to
// the line's content [lineStart, lineEnd), which ends before its line feed.
template <typename Visit>
void walkLines(QStringView all, Visit visit)
{
    const qsizetype n = all.size();
    qsizetype pos = 0;
    for (;;) {
        const qsizetype stepStart = pos;
        qsizetype lineStart = pos;
        while (lineStart < n && all[lineStart].isSpace())
            ++lineStart;
        if (lineStart == n)
            return;
        qsizetype lineEnd = all.indexOf(QLatin1Char('\n'), lineStart);
        if (lineEnd < 0)
            lineEnd = n;
        if (!visit(stepStart, lineStart, lineEnd))
            return;
        pos = lineEnd;
    }
}

} // namespace

TMCrontabModifier::TMCrontabModifier(AlertPresenter &alerts, QString crontabProgram,
                                     std::unique_ptr<CommandRunner> runner)
    : m_alerts(alerts)
    , m_crontabProgram(std::move(crontabProgram))
    , m_runner(runner ? std::move(runner) : std::make_unique<ProcessCommandRunner>())
{
}

TMCrontabModifier::~TMCrontabModifier() = default;

void TMCrontabModifier::setScriptName(const QString &name)
{
    m_scriptName = name;
}

bool TMCrontabModifier::checkForJob(const QString &job)
{
    if (readCrontab() == Listing::Failed)
        return false;
    return holdsProgramLine(m_results, job, cv::homeDirectory());
}

bool TMCrontabModifier::addCronJob(const QString &line)
{
    m_removal = false;
    m_currentJob = line;
    getCrontab();
    return true;
}

bool TMCrontabModifier::removeCronJob()
{
    m_removal = true;
    getCrontab();
    return true;
}

void TMCrontabModifier::getCrontab()
{
    const QString &failureText = m_removal ? kRemoveFailed : kAddFailed;
    m_lastOutcome = Outcome::Changed;
    const Listing listing = readCrontab();
    m_before = Snapshot{listing != Listing::Failed, listing == Listing::NoCrontab, m_results};
    if (listing == Listing::Failed) {
        // Going on would install a crontab without the user's lines.
        m_lastOutcome = Outcome::Refused;
        m_alerts.showAlert(kSchedulingError, failureText);
        return;
    }
    // The old message form can only ever stand at the very start: no crontab
    // line may begin with it, so a comment quoting it is never mistaken for it.
    if (listing == Listing::NoCrontab || m_results.startsWith(QLatin1String("crontab: no crontab"))) {
        m_before.none = true;
        m_results.clear();
        if (m_removal) {
            // "-r" would fail for a missing crontab and report a removal that
            // in truth has nothing left to do.
            platform::NSLog(QStringLiteral("There is no crontab, so there is no line to remove."));
            return;
        }
    } else {
        m_results = filterCrontab(m_results, m_scriptName, cv::homeDirectory());
    }

    if (!m_removal) {
        createCrontab();
        return;
    }

    if (m_results.isEmpty() || isSingleLineBreak(m_results))
        install(m_results.toUtf8(), true, kRemoveFailed);
    else
        install(withFinalLineFeed(m_results).toUtf8(), false, kRemoveFailed);
}

void TMCrontabModifier::createCrontab()
{
    QString text = m_currentJob;
    // A line passed without its line feed must not swallow the user's first line.
    if (!text.isEmpty() && !text.endsWith(QLatin1Char('\n')) && !m_results.isEmpty())
        text.append(QLatin1Char('\n'));
    text.append(m_results);
    text = withFinalLineFeed(collapseBlankLines(text));

    QStringEncoder encoder(QStringEncoder::System);
    const QByteArray bytes = encoder.encode(text);
    if (encoder.hasError()) {
        platform::NSLog(QStringLiteral("The crontab text cannot be encoded; the crontab is left unchanged."));
        m_lastOutcome = Outcome::NotWritten;
        return;
    }
    install(bytes, false, kAddFailed);
}

QString TMCrontabModifier::filterCrontab(const QString &text, const QString &scriptName, const QString &home)
{
    // Removing a line's step takes the line feed before it with it, along
    // with any blank lines in between; the line's own line feed then ends the
    // line before.
    const QStringView all(text);
    QString out;
    out.reserve(all.size());
    qsizetype copied = 0;
    walkLines(all, [&](qsizetype stepStart, qsizetype lineStart, qsizetype lineEnd) {
        if (isProgramLine(all.mid(lineStart, lineEnd - lineStart), scriptName, home)) {
            out.append(all.mid(copied, stepStart - copied));
            copied = lineEnd;
        }
        return true;
    });
    out.append(all.mid(copied));
    if (out.size() > 1 && out.startsWith(QLatin1String("\r\n")))
        out.remove(0, 2);
    return out;
}

bool TMCrontabModifier::holdsProgramLine(const QString &text, const QString &scriptName, const QString &home)
{
    const QStringView all(text);
    bool found = false;
    walkLines(all, [&](qsizetype, qsizetype lineStart, qsizetype lineEnd) {
        found = isProgramLine(all.mid(lineStart, lineEnd - lineStart), scriptName, home);
        return !found;
    });
    return found;
}

QString TMCrontabModifier::collapseBlankLines(QString text)
{
    const QString twice = QStringLiteral("\n\n");
    const QString once = QStringLiteral("\n");
    while (text.contains(twice))
        text.replace(twice, once);
    return text;
}

TMCrontabModifier::Listing TMCrontabModifier::readCrontab()
{
    m_results.clear();
    const CommandResult listing = runCrontab({QStringLiteral("-l")});
    if (!listing.started || !listing.normalExit) {
        platform::NSLog(QStringLiteral("Could not list the crontab with %1: %2").arg(m_crontabProgram, listing.problem));
        return Listing::Failed;
    }
    if (listing.exitCode != 0) {
        if (listing.standardOutput.isEmpty() && saysNoCrontab(listing.standardError))
            return Listing::NoCrontab;
        platform::NSLog(QStringLiteral("Listing the crontab failed with exit status %1; it is left unchanged.")
                            .arg(listing.exitCode));
        return Listing::Failed;
    }
    // Undecodable bytes would come back as replacement characters and
    // overwrite the user's own text.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder.decode(listing.standardOutput);
    if (decoder.hasError()) {
        platform::NSLog(QStringLiteral("The crontab is not valid UTF-8; it is left unchanged."));
        return Listing::Failed;
    }
    m_results = std::move(text);
    return Listing::Read;
}

CommandResult TMCrontabModifier::runCrontab(const QStringList &arguments)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // The "no crontab" message is only recognised untranslated.
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    CommandResult result = m_runner->run(m_crontabProgram, arguments, environment);
    for (const QByteArray &line : result.standardError.split('\n')) {
        if (!line.isEmpty())
            platform::NSLog(QString::fromLocal8Bit(line));
    }
    return result;
}

bool TMCrontabModifier::writeScratchFile(const QByteArray &bytes)
{
    const QString path = cv::scratchCrontabPath();
    if (platform::writeFileAtomically(path, bytes))
        return true;
    platform::NSLog(QStringLiteral("Could not write %1; the crontab is left unchanged.").arg(path));
    return false;
}

bool TMCrontabModifier::restore(const Snapshot &snapshot)
{
    if (!snapshot.known)
        return false;
    if (snapshot.none) {
        const CommandResult result = runCrontab({QStringLiteral("-r")});
        if (result.succeeded() || (result.normalExit && saysNoCrontab(result.standardError)))
            return true;
    } else if (writeScratchFile(withFinalLineFeed(snapshot.text).toUtf8())) {
        if (runCrontab({cv::scratchCrontabPath()}).succeeded())
            return true;
    }
    platform::NSLog(QStringLiteral("Could not put the crontab back as it was before the failed save."));
    return false;
}

void TMCrontabModifier::install(const QByteArray &bytes, bool removeInstead, const QString &informativeText)
{
    if (!writeScratchFile(bytes)) {
        m_lastOutcome = Outcome::NotWritten;
        return; // silently, as far as the user is concerned
    }
    const QStringList arguments = removeInstead ? QStringList{QStringLiteral("-r")}
                                                : QStringList{cv::scratchCrontabPath()};
    const CommandResult result = runCrontab(arguments);
    if (!result.succeeded()) {
        if (!result.problem.isEmpty())
            platform::NSLog(QStringLiteral("Could not run %1: %2").arg(m_crontabProgram, result.problem));
        m_lastOutcome = Outcome::Refused;
        m_alerts.showAlert(kSchedulingError, informativeText);
        return;
    }
    m_lastOutcome = Outcome::Changed;
}

} // namespace cv::configurator
