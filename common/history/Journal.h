#pragma once
// The run journal in the version store (format::kJournalName): one start and one end line per run,
// appended, in the order the runs ran. Readers take points, their order and
// their outcome from it; the engine writes it. Format: docs/backup-format.md.

#include "Result.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>


namespace cv::history {

enum class RunOutcome { Success, Failed, Interrupted }; // Interrupted: a start line with no end line

struct JournalRun {
    QString id;           // "2026-12-08-093000" or "2026-12-08-093000-2": the folder name
    QDateTime start;      // UTC
    QDateTime end;        // UTC; invalid when interrupted
    RunOutcome outcome = RunOutcome::Interrupted;
    bool versions = true; // false: the run kept nothing and has no folder
};

// The runs in journal order (the order they ran in, whatever the clock said);
// malformed or unterminated lines are skipped. Empty when there is no journal.
QList<JournalRun> readJournal(const QString &destination);

// Engine side. Picks the run's id (UTC start, "-2", "-3"... when taken by a folder or
// a journal id), creates its folder exclusively (mkdir, 0700) when `versions`, and
// appends the start line. The id, or why not in one line.
cv::Result<QString> beginRun(const QString &destination, const QDateTime &startUtc, bool versions);
// Appends the end line.
cv::Result<> endRun(const QString &destination, const QString &id, const QDateTime &endUtc, bool success);

// Pruning: rewrites the journal (temporary name, then rename) without the
// lines of the runs named in `ids`. Succeeds when there was nothing to do.
cv::Result<> dropFromJournal(const QString &destination, const QStringList &ids);

// "2026-12-08-093000" for a run started at that UTC time.
QString runIdForTime(const QDateTime &startUtc);
// The path of a run's folder.
QString runFolder(const QString &destination, const QString &id);

} // namespace cv::history
