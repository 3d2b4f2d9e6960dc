#pragma once
// The parts of the copy engine behind Ditto: what a copy says (Report), the
// walk through the tree (Walk), putting each entry in place (Placing), the
// earlier versions (Versions), and what they share: the data copy, the
// attributes and the temporary entry a replacement is built under.
#include "Ditto.h"
#include "DittoSupport.h"

#include "BasicResult.h"
#include "UniqueFd.h"

#include <sys/stat.h>

#include <cstdio>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace cv::compat::detail {

// What a copy says, one line at a time, and where in the tree it is. A
// failure's reason travels as "<path>: <why>" to the one who says it.
class Report {
public:
    explicit Report(std::FILE *errors) : m_errors(errors) {}

    // Full paths of the entry being copied, for messages only.
    std::string src;
    std::string dst;
    size_t dstRootLength = 0;

    int failures() const { return m_failures; }
    std::string relativePath() const;

    static std::string at(const std::string &path, const char *why);
    static std::string at(const std::string &path, int err);
    // Counted. An empty reason was said where it arose.
    void say(const std::string &reason);
    void fail(const std::string &path, const char *why) { say(at(path, why)); }
    void failSource(int err) { say(at(src, err)); }
    void failDestination(int err) { say(at(dst, err)); }
    // Not a failure: the backup goes on and succeeds.
    void note(const std::string &path, const std::string &text);

private:
    void write(const std::string &line);

    std::FILE *m_errors;
    int m_failures = 0;
};

// Enters one entry of the current folder for the messages; leaves it on
// every path out.
class EntryPaths {
public:
    EntryPaths(Report &report, const char *name);
    ~EntryPaths();
    EntryPaths(const EntryPaths &) = delete;
    EntryPaths &operator=(const EntryPaths &) = delete;

private:
    Report &m_report;
    size_t m_srcLength;
    size_t m_dstLength;
};

bool isVersionsFolderName(const char *name);

// What a signal that ends the copy removes (DittoLeftovers.cpp): one entry
// at a time, held in static storage for the handler.
void markUnfinished(int dirFd, const char *name);
void markFinished();

// Removes the temporary entries of earlier runs whose process is gone.
class LeftoverSweep {
public:
    void sweep(int dstDirFd, Report &report);

private:
    std::vector<char> m_buffer; // apart from the walk's: this runs between its uses
};

// kTempPrefix, then "<pid>-<n>": unique within this process, and telling a
// later run whose it was.
class TempNames {
public:
    std::string next();

private:
    unsigned m_counter = 0;
};

// The bytes of a regular file, holes kept, through the kernel where it can.
class DataCopy {
public:
    explicit DataCopy(const Report &report) : m_report(report) {}
    PlainResult<> copy(int in, int out, const struct stat &st);

private:
    PlainResult<> copyHoles(int in, int out, const struct stat &st);
    PlainResult<> copyRange(int in, int out, off_t from, off_t to);
    // False when the kernel cannot copy between these two: the caller goes on
    // from the positions as they are.
    std::optional<PlainResult<>> kernelCopy(int in, int out, off_t &inPos, off_t &outPos, off_t to);
    PlainResult<> bufferCopy(int in, int out, off_t inPos, off_t outPos, off_t to);

    const Report &m_report;
    bool m_copyRangeWorks = true;
    std::vector<char> m_buffer; // read/write fallback
};

enum class AttributeMode { New, Merge, Same };

// Extended attributes (-rsrc), and owner and mode.
class Attributes {
public:
    explicit Attributes(Report &report) : m_report(report) {}
    // New: `out` holds none yet. Merge: set what differs. Same: also take
    // away the user's attributes the source no longer has. `quiet`: false
    // at the first failure without a word; the caller copies anew.
    bool copy(int in, int out, AttributeMode mode, bool quiet = false);

private:
    bool setValues(int in, int out, ssize_t length, ssize_t dstLength, AttributeMode mode, bool quiet);
    enum class Refusal { Ignored, Failed };
    Refusal refused(const char *attr, int err);
    bool removeStale(int out, ssize_t length, ssize_t dstLength, bool quiet);

    Report &m_report;
    bool m_unsupportedReported = false;
    std::vector<char> m_names = std::vector<char>(1024);
    std::vector<char> m_value = std::vector<char>(1024);
    std::vector<char> m_dstNames = std::vector<char>(1024);
    std::vector<char> m_dstValue = std::vector<char>(1024);
};

// False with errno set when the mode cannot be set; an owner that cannot be
// kept is no failure, but takes the set-id bits with it.
bool setOwnerAndMode(int fd, const struct stat &st, const struct stat *existing);

class Versions;

// An entry built under a temporary name beside its final one and renamed
// over it only once whole: a copy cut short (kill -9, a power cut) never
// stands under the real name, where a later run would take it for the entry
// and keep it as a version. Removed on the way out unless it was placed.
class TemporaryEntry {
public:
    // `folder`: where in `dirFd` it goes, "" or ending in '/'.
    TemporaryEntry(TempNames &names, const Report &report, int dirFd, std::string folder = {});
    ~TemporaryEntry();
    TemporaryEntry(const TemporaryEntry &) = delete;
    TemporaryEntry &operator=(const TemporaryEntry &) = delete;

    // Makes it with `make(name)` (0 or an errno) under the first free name.
    PlainResult<> make(const std::function<int(const char *)> &make);
    // A file to write; until it is placed, a signal that ends the copy
    // takes it away.
    PlainResult<UniqueFd> createFile();
    // Over what stands at `name`, once the versions kept that.
    PlainResult<> replace(const char *name, Versions &versions);
    // At `name` only where nothing stands: what took the name meanwhile is
    // not ours to replace unseen.
    PlainResult<> placeNew(const char *name);

private:
    PlainResult<> failure(int err) const;

    TempNames &m_names;
    const Report &m_report;
    int m_dirFd;
    std::string m_folder;
    std::string m_path; // relative to m_dirFd
    bool m_made = false;
    bool m_guarded = false;
};

// The run's folder of earlier versions: what the copy replaces is kept there
// first, and what it creates or changes in place is recorded.
class Versions {
public:
    Versions(std::string folder, Report &report, DataCopy &data, TempNames &names);

    bool enabled() const { return !m_folder.empty(); }
    // Before the entry at the current path is replaced: false when it could
    // not be kept (said), and then it must not be replaced.
    [[nodiscard]] bool keep(int dirFd, const char *name);
    // The whole entry moved in. `usable` false: the folder cannot be used
    // (said); else `err` is 0 or why the move failed.
    struct Move {
        bool usable = false;
        int err = 0;
        std::string keptAt;
    };
    Move moveIn(int dirFd, const char *name);
    // After the entry was made where nothing stood.
    void recordCreated();
    // Before metadata alone is changed in place: what it was.
    void recordMetadata(const struct stat &before);
    // Inside a folder this run created and recorded, the contents are new
    // with it and not listed one by one. Returns what it was before.
    bool enterFolder(bool created);
    void leaveFolder(bool outer) { m_inNewFolder = outer; }

private:
    int folder();
    bool makeParents(const std::string &relative);
    bool copyIn(int dirFd, const char *name, const struct stat &existing, const std::string &relative);
    bool copyFileIn(int dirFd, const char *name, const struct stat &existing, const std::string &relative);
    void append(UniqueFd &record, const char *recordName, const std::string &entry);

    std::string m_folder;
    Report &m_report;
    DataCopy &m_data;
    TempNames &m_names;
    UniqueFd m_fd;
    UniqueFd m_created;
    UniqueFd m_metadata;
    bool m_unusable = false;
    std::unordered_set<std::string> m_parents; // folders made in it
    bool m_inNewFolder = false;
};

struct InodeKey {
    dev_t dev;
    ino_t ino;
    bool operator==(const InodeKey &) const = default;
};
struct InodeHash {
    size_t operator()(const InodeKey &k) const { return std::hash<ino_t>()(k.ino) * 31 + k.dev; }
};
inline InodeKey keyOf(const struct stat &st)
{
    return {st.st_dev, st.st_ino};
}

// A source entry looked at, and opened where it was to be read.
struct SourceEntry {
    UniqueFd fd;
    struct stat st;
};

// Putting one entry in place in the destination: made where nothing stands,
// else built aside and renamed over; an entry of another type moved aside;
// files, links, special files and second names of one file.
class Placing {
public:
    Placing(const DittoOptions &options, Report &report, Versions &versions, DataCopy &data,
            Attributes &attributes, TempNames &names, const std::function<timespec()> &clock);

    // The destination folder of a folder copy, for hard links; -1 outside one.
    void setRoot(int dstRootFd) { m_dstRootFd = dstRootFd; }
    // `fresh`: the destination folder was made by this run. `srcFd` is
    // opened here when not yet open.
    void copyRegular(int srcDirFd, const char *srcName, UniqueFd &srcFd, const struct stat &found,
                     int dstDirFd, const char *name, bool fresh);
    void copyLink(int srcDirFd, const char *srcName, const struct stat &st, int dstDirFd, const char *name);
    void copySpecial(const struct stat &st, int dstDirFd, const char *name);
    bool linkToEarlierCopy(const struct stat &st, int dstDirFd, const char *name);
    bool moveAside(int dstDirFd, const char *name, const struct stat &existing, const struct stat &incoming);

private:
    enum class Placed { New, Kept, Failed };
    template<class Make, class Reuse>
    Placed placeEntry(int dstDirFd, const char *name, const struct stat &st, Make make, Reuse reuse);
    std::optional<std::string> renameAside(int dstDirFd, const char *name);
    bool reuseRegular(int srcDirFd, const char *srcName, UniqueFd &srcFd, struct stat &st,
                      const struct stat &existing, int dstDirFd, const char *name);
    bool attributesMayDiffer(const struct stat &st, const struct stat &existing) const;
    bool setMetadataInPlace(int srcFd, const struct stat &st, const struct stat &existing, int dstDirFd,
                            const char *name, bool attributes);
    bool writeFile(TemporaryEntry &temp, int in, const struct stat &st);
    bool reuseLink(const struct stat &st, const struct stat &existing, int dstDirFd, const char *name,
                   const char *target, ssize_t length);
    void setSpecialMetadata(const struct stat &st, int dstDirFd, const char *name, const struct stat *existing);
    bool linkCountFits(const struct stat &st, const struct stat &existing);
    void rememberCopy(const struct stat &st);

    const DittoOptions &m_options;
    Report &m_report;
    Versions &m_versions;
    DataCopy &m_data;
    Attributes &m_attributes;
    TempNames &m_names;
    const std::function<timespec()> &m_clock;
    int m_dstRootFd = -1; // owned by the walk
    std::unordered_map<InodeKey, std::string, InodeHash> m_linked;
    // Destination files kept as the copy of a source hard-link group, so two
    // groups never end up sharing one.
    std::unordered_map<InodeKey, InodeKey, InodeHash> m_kept;
    std::vector<char> m_linkTarget;
    std::vector<char> m_dstLinkTarget;
};

// Walking the tree: the operands, each folder read in full, each entry
// handed to the placing of its kind, folders finished after their contents.
class Walk {
public:
    Walk(const DittoOptions &options, Report &report, Placing &placing, Versions &versions,
         Attributes &attributes);
    bool copy(const std::string &source, const std::string &destination);

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
    enum class Room { Failed, Existing, Made };

    UniqueFd makeFolders(const std::string &path);
    void leaveOperandFolderAsItWas(int fd);
    void copyFolderOperand(int srcFd, const struct stat &st, const std::string &destination);
    void copyOtherOperand(const std::string &source, const struct stat &operand, const std::string &destination);
    void copyFolderContents(int srcDirFd, int dstDirFd, unsigned depth, bool fresh);
    bool readFolder(int srcDirFd, Level &level);
    void copyEntry(int srcDirFd, int dstDirFd, const char *name, unsigned char type, unsigned depth, bool fresh);
    PlainResult<SourceEntry> lookAt(int srcDirFd, const char *name, unsigned char type, bool fresh);
    void copyFolderEntry(int srcDirFd, const char *name, SourceEntry &entry, int dstDirFd, unsigned depth);
    void copyFolder(int srcFd, const struct stat &st, int dstDirFd, const char *name, unsigned depth);
    Room makeRoomForFolder(int dstDirFd, const char *name, const struct stat &st);
    void finishFolder(int srcFd, int dstFd, const struct stat &st, bool fresh);

    const DittoOptions &m_options;
    Report &m_report;
    Placing &m_placing;
    Versions &m_versions;
    Attributes &m_attributes;
    LeftoverSweep m_sweep;
    InodeKey m_dstRoot{0, 0};
    std::vector<InodeKey> m_ancestors; // source folders from the root down
    std::deque<Level> m_levels; // deque: deeper levels never move shallower ones
    std::vector<char> m_folderBuffer;
    // The folder a copy goes into: made by this run, or the mode it had
    // before it was opened up for writing.
    bool m_operandFolderMade = false;
    std::optional<mode_t> m_operandFolderMode;
};

} // namespace cv::compat::detail
