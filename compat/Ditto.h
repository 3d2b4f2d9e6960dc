#pragma once
// The copy engine behind the `ditto` command the backup script calls:
//   ditto [-rsrc] SRC DST
// A folder source copies its contents into DST (created with its missing
// parents, merged with what is there); a file source lands inside DST when DST
// is a folder, else becomes DST. Permissions, owners (where allowed), times,
// symbolic links, hard links inside the tree and, with -rsrc, extended
// attributes are kept; holes in sparse files stay holes. Every failure is one
// "ditto: <path>: <reason>" line and the copy goes on with the rest.
//
// A repeat onto an earlier copy writes only what changed: an entry whose
// destination already matches is left alone, one whose metadata alone differs
// gets only its metadata. Where the type of an entry changed (a file became a
// folder or the other way round), the old destination entry is moved aside to
// "<name>.replaced-<YYYYMMDD-HHMMSS>", never deleted, with one line saying so.
// The destination folder itself, when it was there before, keeps its own
// owner, mode and attributes: what is inside it mirrors the source.
//
// With a versions folder, every entry the copy replaces, or moves aside, is
// kept there first at its path relative to DST; the paths it newly creates
// and the metadata of entries changed in place are recorded there too
// (cv::format in BackupFormat.h, docs/backup-format.md). The versions folder
// is made by the caller.

#include "BasicResult.h"

#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace cv::compat {

struct DittoOptions {
    // -rsrc: extended attributes stand in for resource forks.
    bool keepExtendedAttributes = false;
    // Where this run keeps what it replaces; empty: nothing is kept.
    std::string versionsFolder;
};

// From here on, SIGTERM, SIGINT and SIGHUP first remove the file a Ditto
// was writing, then end the process as they would have.
void removeUnfinishedCopyOnSignals();

struct DittoCommand {
    DittoOptions options;
    std::string source;
    std::string destination;
};

// Reads the command line (without the program name), or says in one line
// why it is not a form we accept.
PlainResult<DittoCommand> parseDittoArguments(const std::vector<std::string> &args);

// A path as it may be printed on one line: backslash, control characters and
// bytes that are not UTF-8 become backslash escapes, so a file name can never
// forge or split a line of the log.
std::string printablePath(std::string_view path);

class Ditto
{
public:
    explicit Ditto(DittoOptions options, std::FILE *errors = stderr);
    ~Ditto();
    Ditto(const Ditto &) = delete;
    Ditto &operator=(const Ditto &) = delete;

    // True when everything was copied.
    bool copy(const std::string &source, const std::string &destination);
    int failures() const;
    // The wall clock: names of entries moved aside, and whether a source
    // time is too recent to prove a file unchanged.
    void setClock(std::function<timespec()> clock);

private:
    // The walk, the placing and the versions, each with its own state
    // (DittoParts.h).
    struct Parts;
    std::unique_ptr<Parts> m_parts;
};

} // namespace cv::compat
