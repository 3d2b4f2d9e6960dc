#pragma once
// Lets a failed save leave everything as it was before it: the files it
// writes (the settings file and Config.plist), the settings in memory, and the
// crontab once the save has changed it. Otherwise the engine would run at the
// old times with the new configuration, or the other way round.

#include "TMCrontabModifier.h"
#include "UserDefaults.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

namespace cv::configurator {

class SaveTransaction
{
public:
    // Notes what the files and the settings hold now. Neither is owned; both
    // must outlive the transaction.
    SaveTransaction(platform::UserDefaults &defaults, TMCrontabModifier &crontab, const QStringList &files);

    // To be called right after each successful change of the crontab.
    void crontabChanged();

    // Log lines that report the change; they are written by commit() and
    // dropped by rollBack(), so the log never claims what was undone.
    void logOnCommit(const QString &line) { m_pendingLog << line; }
    void commit();

    // Puts back what changed since the start. False when something could
    // not be put back; that is logged.
    bool rollBack();

private:
    struct FileState {
        QString path;
        enum { Missing, Regular, Other } kind = Missing; // Other: left alone
        QByteArray bytes;
    };
    static FileState stateOf(const QString &path);
    static bool putBack(const FileState &before);

    platform::UserDefaults &m_defaults;
    TMCrontabModifier &m_crontab;
    platform::UserDefaults::Snapshot m_settings;
    std::vector<FileState> m_files;
    bool m_crontabChanged = false;
    TMCrontabModifier::Snapshot m_crontabBefore;
    QStringList m_pendingLog;
};

} // namespace cv::configurator
