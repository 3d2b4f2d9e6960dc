#pragma once
// The engine's record of how its last run ended, kept in the support folder
// for the configurator's window. The engine writes it at the end of every
// run; nothing else does.

#include <QDateTime>
#include <QString>
#include <QVariantMap>

#include <optional>

namespace cv::catchup {

struct LastRun {
    QDateTime time; // when the run ended
    bool succeeded = false;
    QString reason;         // why it failed; empty on success
    double durationSeconds = 0;
    std::optional<qint64> filesCopied; // when known
    std::optional<qint64> bytesCopied;

    QVariantMap toDictionary() const;
    // None when the dictionary lacks a usable time or outcome.
    static std::optional<LastRun> fromDictionary(const QVariantMap &dictionary);
};

} // namespace cv::catchup
