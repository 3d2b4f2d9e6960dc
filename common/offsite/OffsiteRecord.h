#pragma once
// What the off-site sender leaves for the configurator's window: how its
// last attempt ended (offsite.plist in the support folder) and, while an
// upload runs, how far it has come (offsite-progress.plist). Both are written
// by CVOffsite alone.

#include <QDateTime>
#include <QString>
#include <QVariantMap>

#include <functional>
#include <optional>

namespace cv::offsite {

inline constexpr const char *kRecordFileName = "offsite.plist";
inline constexpr const char *kProgressFileName = "offsite-progress.plist";
inline constexpr const char *kLockFileName = "offsite.lock";
inline constexpr const char *kExecutableName = "CVOffsite";
// Settings of the configurator's settings file.
inline constexpr const char *kEnabledKey = "OffsiteEnabled";
inline constexpr const char *kRepositoryKey = "OffsiteRepository";

struct OffsiteRecord {
    std::optional<QDateTime> time; // the last attempt's end
    bool succeeded = false;
    QString reason;          // why it failed
    qint64 bytesAdded = 0;
    QString snapshotId;
    // Waiting for a desktop session (no Secret Service): the next look of
    // the agent or the next run sends.
    bool pending = false;
    // The upkeep rota: the last forget/prune and check, and the next
    // check's slice (1…12).
    std::optional<QDateTime> lastForget;
    std::optional<QDateTime> lastCheck;
    int nextCheckSlice = 1;

    QVariantMap toDictionary() const;
    static OffsiteRecord fromDictionary(const QVariantMap &dictionary);
    static OffsiteRecord read(const QString &path);
    [[nodiscard]] bool write(const QString &path) const;
};

struct OffsiteProgress {
    qint64 pid = 0;
    qint64 bytesDone = 0;
    qint64 totalBytes = 0;
    double fraction = 0; // 0…1

    QVariantMap toDictionary() const;
    // None for a missing or damaged file, or one whose process has gone.
    static std::optional<OffsiteProgress> readLive(const QString &path);
};

// "120 MB", "1.4 GB", in decimal units as file managers show them.
QString byteCountText(qint64 bytes);

// The main window's off-site line: empty when off-site copies are off and
// nothing was ever sent.
QString offsiteLineText(bool enabled, const OffsiteRecord &record, const std::optional<OffsiteProgress> &progress,
                        const std::function<QString(const QDateTime &)> &formatDate);

// Paths in the support folder.
QString recordPath();
QString progressPath();
QString lockPath();

} // namespace cv::offsite
