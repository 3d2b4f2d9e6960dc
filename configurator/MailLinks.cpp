#include "MailLinks.h"

#include "Log.h"

#include <QElapsedTimer>
#include <QProcess>

#include <csignal>
#include <unistd.h>

namespace cv::configurator {
namespace {

bool staysAsIs(unsigned char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    // "#" is not among them: in a mail link it would end the message body,
    // and every crontab listing the editor leaves starts with comment lines.
    static constexpr char kept[] = "-_.!~*'();/?:@&=+$,";
    return c != '\0' && std::char_traits<char>::find(kept, sizeof kept - 1, static_cast<char>(c));
}

QUrl urlFromEscaped(const QByteArray &escaped)
{
    // Every byte is already legal; strict parsing keeps Qt from "repairing"
    // anything.
    return QUrl::fromEncoded(escaped, QUrl::StrictMode);
}

QString mailLinkText(const QString &query)
{
    return QLatin1String("mailto:") + QLatin1String(kSupportAddress) + query;
}

} // namespace

QByteArray percentEscape(const QString &text)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    const QByteArray utf8 = text.toUtf8();
    QByteArray escaped;
    escaped.reserve(utf8.size() * 3);
    for (const char byte : utf8) {
        const auto c = static_cast<unsigned char>(byte);
        if (staysAsIs(c)) {
            escaped += byte;
        } else {
            escaped += '%';
            escaped += hex[c >> 4];
            escaped += hex[c & 0xF];
        }
    }
    return escaped;
}

QString feedbackLinkText()
{
    return mailLinkText(QStringLiteral("?subject=Corvantis Feedback&body=--Please add feedback here--\n\n\n"
                                       "Corvantis Pro info:\nVersion:%1\n")
                            .arg(QLatin1String(kMailLinkVersion)));
}

QString bugReportLinkText(const QString &crontabListing)
{
    // Built by concatenation: the listing may hold "%1" and must come out as is.
    return mailLinkText(QStringLiteral("?subject=Corvantis Bug Report&body=--Please explain the "
                                       "circumstances of the bug here--\n\n\nCorvantis Pro info:\n"
                                       "Version: ")
                        + QLatin1String(kMailLinkVersion) + QLatin1String("\nSchedule:\n") + crontabListing);
}

QUrl feedbackUrl() { return urlFromEscaped(percentEscape(feedbackLinkText())); }
QUrl bugReportUrl(const QString &crontabListing) { return urlFromEscaped(percentEscape(bugReportLinkText(crontabListing))); }
QUrl homePageUrl() { return QUrl(QString::fromLatin1(kHomePage), QUrl::StrictMode); }

QString readCrontabListing(const QString &crontabProgram, int timeoutMs)
{
    QProcess process;
    process.setProgram(crontabProgram);
    process.setArguments({QStringLiteral("-l")});
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardInputFile(QProcess::nullDevice());
    // A group of its own, so that anything it leaves running with our pipe
    // open can be stopped along with it.
    process.setChildProcessModifier([] { ::setpgid(0, 0); });
    process.start();
    if (!process.waitForStarted(timeoutMs)) {
        platform::NSLog(QStringLiteral("Could not list the crontab with %1: %2")
                            .arg(crontabProgram, process.errorString()));
        return {};
    }
    QByteArray output;
    QElapsedTimer clock;
    clock.start();
    // The listing ends when the output closes, not when the program exits.
    bool ended = false;
    while (!ended) {
        const qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0)
            break;
        if (process.state() == QProcess::NotRunning) {
            ended = true; // Qt has read everything left in the pipe
        } else if (!process.waitForReadyRead(static_cast<int>(left))) {
            ended = process.state() == QProcess::NotRunning;
        }
        output += process.readAllStandardOutput();
    }
    if (!ended) {
        const qint64 pid = process.processId();
        if (pid > 0)
            ::kill(-static_cast<pid_t>(pid), SIGKILL);
        process.kill();
        process.waitForFinished(1000);
        output += process.readAllStandardOutput();
        platform::NSLog(QStringLiteral("%1 -l gave no end of its listing after %2 seconds; "
                                       "the bug report holds what it printed")
                            .arg(crontabProgram)
                            .arg(timeoutMs / 1000.0));
    }
    return QString::fromUtf8(output);
}

} // namespace cv::configurator
