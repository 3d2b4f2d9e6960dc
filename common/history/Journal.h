#pragma once
// The run journal in the version store: one start and one end line per run,
// appended, in the order the runs ran. Readers take points, their order and
// their outcome from it; the engine writes it. Format: docs/backup-format.md.

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace cv::history {

inline constexpr const char *kJournalName = "journal"; // in <destination>/.corvantis-versions/

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
// appends the start line. No value and a one-line reason in *why on failure.
std::optional<QString> beginRun(const QString &destination, const QDateTime &startUtc, bool versions,
                                QString *why);
// Appends the end line.
bool endRun(const QString &destination, const QString &id, const QDateTime &endUtc, bool success, QString *why);

// Pruning: rewrites the journal (temporary name, then rename) without the
// lines of the runs named in `ids`. True when there was nothing to do.
bool dropFromJournal(const QString &destination, const QStringList &ids, QString *why);

// "2026-12-08-093000" for a run started at that UTC time.
QString runIdForTime(const QDateTime &startUtc);
// The path of a run's folder.
QString runFolder(const QString &destination, const QString &id);

} // namespace cv::history
