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
// kept there first at its path relative to DST, and the paths it newly
// creates are listed in its ".corvantis-created", each ended by a NUL byte,
// and the metadata of entries changed in place in its ".corvantis-meta"
// (docs/backup-format.md). The versions folder is made by the caller.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>
#include <ctime>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace cv::compat {

struct DittoOptions {
    // -rsrc: extended attributes stand in for resource forks.
    bool keepExtendedAttributes = false;
    // Where this run keeps what it replaces; empty: nothing is kept.
    std::string versionsFolder;
};

// The name, at the top of DST, of the folder that holds the earlier
// versions: never copied into, compared or kept.
inline constexpr char kVersionsFolderName[] = ".corvantis-versions";
bool isVersionsFolderName(const char *name);

// From here on, SIGTERM, SIGINT and SIGHUP first remove the file a Ditto
// was writing, then end the process as they would have.
void removeUnfinishedCopyOnSignals();

struct DittoCommand {
    DittoOptions options;
    std::string source;
    std::string destination;
};

// Reads the command line (without the program name). Empty result and a
// one-line reason in `error` when it is not a form we accept.
std::optional<DittoCommand> parseDittoArguments(const std::vector<std::string> &args,
                                                std::string &error);

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
    int failures() const { return m_failures; }
    // The wall clock: names of entries moved aside, and whether a source
    // time is too recent to prove a file unchanged.
    void setClock(std::function<timespec()> clock) { m_clock = std::move(clock); }

private:
    struct Entry {
        ino_t inode;
        unsigned nameOffset;
        unsigned char type;
    };
    // Names of one folder, read in full before its entries are copied; kept
    // per depth and reused, so the walk does not allocate per file.
    struct Level {
        std::string names;
        std::vector<Entry> entries;
    };
    struct InodeKey {
        dev_t dev;
        ino_t ino;
        bool operator==(const InodeKey &) const = default;
    };
    struct InodeHash {
        size_t operator()(const InodeKey &k) const { return std::hash<ino_t>()(k.ino) * 31 + k.dev; }
    };

    int makeFolders(const std::string &path);
    void leaveOperandFolderAsItWas(int fd);
    void copyFolderOperand(int srcFd, const struct stat &st, const std::string &destination);
    void copyOtherOperand(const std::string &source, const struct stat &operand,
                          const std::string &destination);
    void copyFolderContents(int srcDirFd, int dstDirFd, unsigned depth, bool fresh);
    bool readFolder(int srcDirFd, Level &level);
    void copyEntry(int srcDirFd, int dstDirFd, const char *name, unsigned char type, unsigned depth,
                   bool fresh);
    void copyFolder(int srcFd, const struct stat &st, int dstDirFd, const char *name, unsigned depth);
    // `fresh`: the destination folder was made by this run. `srcFd` is
    // opened here when still -1, and closed by the caller.
    void copyRegular(int srcDirFd, const char *srcName, int &srcFd, const struct stat &st,
                     int dstDirFd, const char *name, bool fresh);
    bool reuseRegular(int srcDirFd, const char *srcName, int &srcFd, struct stat &st,
                      const struct stat &existing, int dstDirFd, const char *name);
    int openSource(int srcDirFd, const char *name, int &fd, struct stat &st);
    bool linkCountFits(const struct stat &st, const struct stat &existing);
    bool setOwnerAndMode(int fd, const struct stat &st, const struct stat *existing);
    bool moveAside(int dstDirFd, const char *name, const struct stat &existing,
                   const struct stat &incoming);
    void copyLink(int srcDirFd, const char *srcName, const struct stat &st, int dstDirFd,
                  const char *name);
    void copySpecial(const struct stat &st, int dstDirFd, const char *name);
    bool linkToEarlierCopy(const struct stat &st, int dstDirFd, const char *name);
    void rememberCopy(const struct stat &st);
    void finishFolder(int srcFd, int dstFd, const struct stat &st, bool fresh);

    enum class Placed { New, Kept, Failed };
    template<class Make, class Reuse>
    Placed placeEntry(int dstDirFd, const char *name, const struct stat &st, Make make, Reuse reuse);
    void nextTempName(std::string &tempName);
    bool copyData(int in, int out, const struct stat &st);
    bool copyRange(int in, int out, off_t from, off_t to);
    enum class Attributes { New, Merge, Same };
    bool copyAttributes(int in, int out, Attributes mode, bool quiet = false);
    bool attributeValue(int fd, const char *attr, std::vector<char> &value, ssize_t &size);
    void failSource(int err);
    void failDestination(int err);
    void fail(const std::string &path, const char *reason);

    // Unfinished copies (DittoLeftovers.cpp).
    void markUnfinished(int dirFd, const char *name);
    void markFinished();
    void removeLeftovers(int dstDirFd);

    // Earlier versions (DittoVersions.cpp).
    bool keepingVersions() const { return !m_options.versionsFolder.empty(); }
    std::string relativePath() const;
    int versionFolder();
    bool makeVersionParents(const std::string &relative);
    // Before the entry is replaced: false when it could not be kept, and
    // then it must not be replaced.
    bool keepVersion(int dstDirFd, const char *name);
    bool copyVersion(int dstDirFd, const char *name, const struct stat &existing,
                     const std::string &relative);
    bool moveIntoVersions(int dstDirFd, const char *name, std::string &keptAt);
    // After the entry was made where nothing stood.
    void recordCreated();
    // Before metadata alone is changed in place: what it was.
    void recordMetadata(const struct stat &before);
    int openRecord(int &fd, const char *name);
    void closeVersions();

    DittoOptions m_options;
    std::FILE *m_errors;
    int m_failures = 0;
    bool m_copyRangeWorks = true;
    bool m_attributesUnsupportedReported = false;

    // Full paths of the entry being copied, for messages only.
    std::string m_src;
    std::string m_dst;
    size_t m_dstRootLength = 0;

    int m_dstRootFd = -1;
    InodeKey m_dstRoot{0, 0};
    std::vector<InodeKey> m_ancestors; // source folders from the root down
    std::deque<Level> m_levels; // deque: deeper levels never move shallower ones
    std::unordered_map<InodeKey, std::string, InodeHash> m_linked;
    // Destination files kept as the copy of a source hard-link group, so two
    // groups never end up sharing one.
    std::unordered_map<InodeKey, InodeKey, InodeHash> m_kept;
    std::function<timespec()> m_clock;
    std::vector<char> m_buffer; // read/write fallback
    std::vector<char> m_folderBuffer;
    std::vector<char> m_attrNames = std::vector<char>(1024);
    std::vector<char> m_attrValue = std::vector<char>(1024);
    std::vector<char> m_dstAttrNames = std::vector<char>(1024);
    std::vector<char> m_dstAttrValue = std::vector<char>(1024);
    std::vector<char> m_linkTarget;
    std::vector<char> m_dstLinkTarget;
    std::string m_tempName;
    unsigned m_tempCounter = 0;
    std::vector<char> m_sweepBuffer;
    // The folder a copy goes into: made by this run, or the mode it had
    // before it was opened up for writing.
    bool m_operandFolderMade = false;
    std::optional<mode_t> m_operandFolderMode;

    int m_versionsFd = -1;
    int m_createdFd = -1;
    int m_metaFd = -1;
    bool m_versionsUnusable = false;
    std::unordered_set<std::string> m_versionParents; // folders made in it
    // Inside a folder this run created and recorded: its contents are new
    // with it and are not listed one by one.
    bool m_inNewFolder = false;
};

} // namespace cv::compat
