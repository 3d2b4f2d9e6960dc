#pragma once
// Copying entries of the backup out again, with their metadata, at the speed
// of the kernel's own copy (copy_file_range, else sendfile), never over
// anything that exists.

#include "BackupHistory.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <sys/stat.h>

#include <functional>

namespace cv::history {

struct CopyProgress {
    qint64 bytesDone = 0; // copied so far, the file in hand included
    qint64 bytesTotal = 0;
    int filesDone = 0;
    int filesTotal = 0;
};

// Called after every piece copied; answering false cancels.
using ProgressCallback = std::function<bool(const CopyProgress &)>;

class EntryCopier
{
public:
    explicit EntryCopier(ProgressCallback progress, qint64 bytesTotal = 0, int filesTotal = 0);

    // Copies one file, link or folder (the folder alone: empty, its mode and
    // times set by finishFolders) to `to`, which must not exist, with
    // `metadata` where given instead of the source's. False with error() set
    // (for this call) on failure or cancellation; a half-written file is removed.
    bool copyEntry(const QByteArray &from, const QByteArray &to, const std::optional<Metadata> &metadata = {});
    // Gives the folders made so far their own mode and times, deepest first
    // (writing into them would change their times again).
    void finishFolders();

    bool cancelled() const { return m_cancelled; }
    const QString &error() const { return m_error; }
    const CopyProgress &progress() const { return m_progress; }
    // What was written whole: files (and links) and their bytes.
    int filesWritten() const { return m_progress.filesDone; }
    qint64 bytesWritten() const { return m_bytesWritten; }

private:
    bool copyFile(const QByteArray &from, const QByteArray &to, const struct stat &st);
    bool fail(const QString &message);
    bool report();

    ProgressCallback m_callback;
    CopyProgress m_progress;
    bool m_cancelled = false;
    QString m_error;
    qint64 m_bytesWritten = 0;
    struct Folder {
        QByteArray path;
        unsigned mode;
        struct timespec times[2];
    };
    QList<Folder> m_folders;
};

// Copies the metadata the backup keeps (extended attributes) from one open
// file to another; failures are ignored where the target cannot hold them.
void copyExtendedAttributes(int fromFd, int toFd);

} // namespace cv::history
