#pragma once
// The engine's record of how its last run ended, kept in the support folder
// (lastrun.plist) for the agent's notice and the configurator's window. The
// engine writes it at the end of every run, and the agent for a catch-up
// whose engine would not start; the configurator only reads it.

#include <QDateTime>
#include <QString>
#include <QVariantMap>

#include <optional>

namespace cv {

struct LastRun {
    QDateTime time; // when the run ended
    bool succeeded = false;
    QString reason; // why it failed; empty on success
    double durationSeconds = 0;

    QVariantMap toDictionary() const;
    // None when the dictionary lacks a usable time or outcome. Keys it does
    // not know (earlier versions wrote file and byte counts) are passed over.
    static std::optional<LastRun> fromDictionary(const QVariantMap &dictionary);
};

} // namespace cv
