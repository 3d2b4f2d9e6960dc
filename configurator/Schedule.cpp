#include "Schedule.h"

#include "Names.h"

namespace cv::configurator {

const std::array<Day, 7> &dayTable()
{
    static const std::array<Day, 7> table{{
        {"Sunday, ", "0,"},
        {"Monday, ", "1,"},
        {"Tuesday, ", "2,"},
        {"Wednesday, ", "3,"},
        {"Thursday, ", "4,"},
        {"Friday, ", "5,"},
        {"Saturday", "6"},
    }};
    return table;
}

bool Schedule::anyDay() const
{
    for (bool on : days)
        if (on)
            return true;
    return false;
}

namespace {

QString joinPieces(const DayFlags &days, const char *Day::*piece)
{
    QString text;
    for (std::size_t i = 0; i < days.size(); ++i)
        if (days[i])
            text += QLatin1String(dayTable()[i].*piece);
    return text;
}

} // namespace

QString getStringForDays(const DayFlags &days)
{
    QString text = joinPieces(days, &Day::listPiece);
    if (text.endsWith(QLatin1String(", ")))
        text.chop(2);
    if (text == QLatin1String("Sunday, Monday, Tuesday, Wednesday, Thursday, Friday, Saturday"))
        return QStringLiteral("Everyday");
    if (text == QLatin1String("Monday, Tuesday, Wednesday, Thursday, Friday"))
        return QStringLiteral("Weekdays");
    return text;
}

QString getDaysString(const DayFlags &days)
{
    QString text = joinPieces(days, &Day::cronPiece);
    if (text.endsWith(QLatin1Char(',')))
        text.chop(1);
    return text;
}

QString engineCommand(const QString &home)
{
    // Inside double quotes /bin/sh still expands $, ` and \, and ends the
    // word at "; cron then turns every % not preceded by \ into a line break.
    QString quotedHome;
    for (QChar c : home) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\\') || c == QLatin1Char('$') || c == QLatin1Char('`'))
            quotedHome += QLatin1Char('\\');
        if (c == QLatin1Char('%'))
            quotedHome += QLatin1Char('\\');
        quotedHome += c;
    }
    QString command = QLatin1Char('"') + QString::fromUtf8(names::kEngineExecutableFormat) + QLatin1Char('"');
    return command.replace(QLatin1String("%@"), quotedHome);
}

QString formulateCronJob(const QTime &time, const DayFlags &days, const QString &home)
{
    return QStringLiteral("%1\t%2\t*\t*\t%3\t%4\n")
        .arg(QString::number(time.minute()), QString::number(time.hour()), getDaysString(days), engineCommand(home));
}

QString displayTime(const QTime &time)
{
    const int hour12 = time.hour() % 12 == 0 ? 12 : time.hour() % 12;
    return QStringLiteral("%1:%2 %3")
        .arg(hour12, 2, 10, QLatin1Char('0'))
        .arg(time.minute(), 2, 10, QLatin1Char('0'))
        .arg(time.hour() < 12 ? QLatin1String("AM") : QLatin1String("PM"));
}

} // namespace cv::configurator
