#pragma once
// The names earlier versions are kept under, the stamps of the runs that keep
// them and the user's history settings. Shared by the engine (which starts
// and prunes versions) and the configurator (which shows and restores them).

#include "BackupFormat.h"

#include <QDateTime>
#include <QString>
#include <QVariantMap>

#include <functional>
#include <optional>

namespace cv::history {

// The names on disk are cv::format's (core/BackupFormat.h): versions are kept
// in <destination>/<kVersionsFolder>/<run id>/<relative path>; the run id is
// the run's start in UTC (Journal.h), older folders are named in local time.
// The preferences' keys are cv::settings' (Settings.h).
inline constexpr int kDefaultKeepDays = 31;
// The choices the preferences offer, in their order; 0 keeps everything.
inline constexpr int kKeepDayChoices[] = {7, 31, 92, 366, 0};

// Log lines go through this; the engine passes its log, tests collect them.
using LogSink = std::function<void(const QString &)>;

struct HistorySettings {
    bool enabled = true;
    int keepDays = kDefaultKeepDays; // 0: keep always

    // Reads its two keys from the configurator's defaults; a missing or
    // wrongly typed value (or a negative number of days) gives its default.
    static HistorySettings fromDefaults(const QVariantMap &defaults);
};

// "2026-12-07-213005" for a run started at that local time.
QString stampForTime(const QDateTime &localTime);
// The local time a folder name stands for; no value for any other name
// (a half-written folder, a user's file), which readers ignore.
std::optional<QDateTime> timeOfStamp(const QString &name);

QString versionsRoot(const QString &destination);
// The folder a run started at `start` keeps its versions in.
QString versionsFolderForRun(const QString &destination, const QDateTime &start);

} // namespace cv::history
