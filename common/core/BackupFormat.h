#pragma once
// The backup's names on disk, as ditto writes them and the engine, the
// Restore window, `corvantis`, the tests and the benchmarks read them. Plain
// C++ so that ditto needs no Qt; the layout is told in docs/backup-format.md.
// No other file spells these names.

namespace cv::format {

// <destination>/.corvantis-versions/<run id>/<relative path>
inline constexpr char kVersionsFolder[] = ".corvantis-versions";
// <destination>/.corvantis-versions/journal: one start and one end line a run.
inline constexpr char kJournalName[] = "journal";
// Its lines, tab-separated: kJournalStart, the run id, the UTC time and
// kJournalVersions or kJournalNoVersions; kJournalEnd, the run id, the UTC
// time and kJournalSuccess or kJournalFailed.
inline constexpr char kJournalStart[] = "start";
inline constexpr char kJournalEnd[] = "end";
inline constexpr char kJournalVersions[] = "versions";
inline constexpr char kJournalNoVersions[] = "no-versions";
inline constexpr char kJournalSuccess[] = "success";
inline constexpr char kJournalFailed[] = "failed";
// In each run's folder: the paths the run newly created, each ended by NUL.
inline constexpr char kCreatedRecord[] = ".corvantis-created";
// In each run's folder: the metadata of entries the run changed in place.
inline constexpr char kMetadataRecord[] = ".corvantis-meta";
// The top level of the mirror reserves names with this prefix for the above.
inline constexpr char kReservedPrefix[] = ".corvantis-";
// Tells ditto, through the backup script's environment, the run's folder.
inline constexpr char kVersionsDirVariable[] = "CORVANTIS_VERSIONS_DIR";
// What ditto writes before a file is complete: ".ditto-<pid>-<n>".
inline constexpr char kTempPrefix[] = ".ditto-";

} // namespace cv::format
