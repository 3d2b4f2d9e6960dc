#include "CrontabLines.h"

#include "Names.h"

namespace cv::configurator {
namespace {

bool isBlank(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\r');
}

// Digits, "*", lists, ranges, steps and the month and day names cron knows.
bool isTimeField(QStringView field)
{
    if (field.isEmpty())
        return false;
    for (QChar c : field) {
        const bool ok = (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
            || (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) || c == QLatin1Char('*') || c == QLatin1Char(',')
            || c == QLatin1Char('-') || c == QLatin1Char('/');
        if (!ok)
            return false;
    }
    return true;
}

bool endsWithPathOf(const QString &word, const QString &tail)
{
    return word == tail || word.endsWith(QLatin1Char('/') + tail);
}

} // namespace

std::optional<QString> crontabCommand(QStringView line)
{
    qsizetype i = 0;
    const qsizetype n = line.size();
    for (int field = 0; field < 5; ++field) {
        while (i < n && isBlank(line[i]))
            ++i;
        const qsizetype start = i;
        while (i < n && !isBlank(line[i]))
            ++i;
        if (!isTimeField(line.mid(start, i - start)))
            return std::nullopt;
    }
    while (i < n && isBlank(line[i]))
        ++i;
    if (i == n)
        return std::nullopt;

    QString command;
    bool escaped = false;
    for (; i < n; ++i) {
        const QChar c = line[i];
        if (escaped) {
            if (c == QLatin1Char('%'))
                command.chop(1);
            command += c;
            escaped = false;
            continue;
        }
        if (c == QLatin1Char('%'))
            break;
        escaped = c == QLatin1Char('\\');
        command += c;
    }
    return command;
}

ShellWords leadingShellWords(const QString &command)
{
    ShellWords result;
    const qsizetype n = command.size();
    qsizetype i = 0;
    const auto isOperator = [](QChar c) {
        return c == QLatin1Char(';') || c == QLatin1Char('&') || c == QLatin1Char('|') || c == QLatin1Char('<')
            || c == QLatin1Char('>') || c == QLatin1Char('(') || c == QLatin1Char(')') || c == QLatin1Char('\n');
    };
    for (;;) {
        while (i < n && isBlank(command[i]))
            ++i;
        if (i == n || command[i] == QLatin1Char('#'))
            return result;
        if (isOperator(command[i])) {
            result.complete = false;
            return result;
        }
        QString word;
        while (i < n && !isBlank(command[i]) && !isOperator(command[i])) {
            const QChar c = command[i++];
            if (c == QLatin1Char('\\')) {
                if (i < n)
                    word += command[i++];
            } else if (c == QLatin1Char('\'')) {
                const qsizetype end = command.indexOf(QLatin1Char('\''), i);
                if (end < 0) {
                    result.complete = false;
                    return result;
                }
                word += QStringView(command).mid(i, end - i);
                i = end + 1;
            } else if (c == QLatin1Char('"')) {
                for (;;) {
                    if (i == n) {
                        result.complete = false;
                        return result;
                    }
                    const QChar d = command[i++];
                    if (d == QLatin1Char('"'))
                        break;
                    // Inside double quotes a backslash only escapes these.
                    if (d == QLatin1Char('\\') && i < n
                        && QStringView(u"$`\"\\\n").contains(command[i])) {
                        word += command[i++];
                        continue;
                    }
                    word += d;
                }
            } else {
                word += c;
            }
        }
        result.words << word;
    }
}

bool isProgramLine(QStringView line, const QString &marker, const QString &home)
{
    if (marker.isEmpty())
        return false;
    const std::optional<QString> command = crontabCommand(line);
    if (!command)
        return false;
    const ShellWords shell = leadingShellWords(*command);
    const QStringList &words = shell.words;
    if (words.isEmpty())
        return false;

    if (marker.endsWith(QLatin1String(".app"))) {
        const QString program = marker + QStringLiteral("/Contents/MacOS/") + marker.chopped(4);
        if (endsWithPathOf(words[0], program))
            return true;
        const bool open = words[0] == QLatin1String("/usr/bin/open") || words[0] == QLatin1String("open");
        return open && words.size() > 1 && endsWithPathOf(words[1], marker);
    }
    const QString script = home + QString::fromUtf8(names::kSupportFolder).mid(1) + marker;
    return shell.complete && words == QStringList{script};
}

} // namespace cv::configurator
