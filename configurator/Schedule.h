#pragma once
// The schedule as the main window holds it, and everything derived from it:
// the day list of the status line, the cron day field and the crontab line.
// Pure functions, so they are tested without a window.

#include "Settings.h"

#include <QString>
#include <QTime>

#include <array>

namespace cv::configurator {

using settings::DayFlags;

struct Day {
    const char *listPiece;
    const char *cronPiece;
};
const std::array<Day, 7> &dayTable();

struct Schedule {
    DayFlags days{};
    QTime time{0, 0};
    QString client;
    QString destination;
    bool relaunch = false;

    bool anyDay() const;
};

// "Sunday, Saturday", "Weekdays", "Everyday"; empty when no day is set.
QString getStringForDays(const DayFlags &days);
// "0,6", "1,2,3,4,5"; empty when no day is set.
QString getDaysString(const DayFlags &days);

// The command that starts the installed engine, written so that cron and
// /bin/sh hand it on as exactly that path whatever the home folder holds.
QString engineCommand(const QString &home);
// minute, hour, *, *, days, command; tab-separated, ending in a line feed.
QString formulateCronJob(const QTime &time, const DayFlags &days, const QString &home);

// "02:05 PM": hour 01 to 12, always with the English markers the status
// sentence is written with.
QString displayTime(const QTime &time);

} // namespace cv::configurator
