#pragma once
// Builds backups with earlier versions on disk as a run of the copy command
// leaves them: the mirror, and per run a folder named by its start holding
// the entries it replaced (hard links of the old files) and a record of the
// paths it created.

#include "HistoryNames.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

namespace cv::test {

class BackupOnDisk
{
public:
    explicit BackupOnDisk(QString destination) : m_destination(std::move(destination)) { QDir().mkpath(m_destination); }

    QString mirror(const QString &relative) const { return m_destination + QLatin1Char('/') + relative; }
    QString run(const QString &stamp) const { return history::versionsRoot(m_destination) + QLatin1Char('/') + stamp; }

    // A file of the mirror as the first run left it.
    void put(const QString &relative, const QByteArray &bytes) { writeFile(mirror(relative), bytes); }

    // Run `stamp` replaces a file: the old inode is kept by hard link first.
    void replace(const QString &stamp, const QString &relative, const QByteArray &bytes)
    {
        keep(stamp, relative);
        const QString temp = mirror(relative) + QStringLiteral(".tmp");
        writeFile(temp, bytes);
        ::rename(QFile::encodeName(temp).constData(), QFile::encodeName(mirror(relative)).constData());
    }

    // Run `stamp` replaces an entry by a folder of a different type: the old
    // one is kept, the new folder is created and recorded.
    void replaceByFolder(const QString &stamp, const QString &relative, const QString &child, const QByteArray &bytes)
    {
        keep(stamp, relative);
        QFile::remove(mirror(relative));
        writeFile(mirror(relative + QLatin1Char('/') + child), bytes);
        record(stamp, relative);
    }

    // Run `stamp` creates a new entry in the mirror and records it.
    void create(const QString &stamp, const QString &relative, const QByteArray &bytes)
    {
        record(stamp, relative);
        writeFile(mirror(relative), bytes);
    }

    void record(const QString &stamp, const QString &relative)
    {
        QDir().mkpath(run(stamp));
        QFile file(run(stamp) + QStringLiteral("/.corvantis-created"));
        file.open(QIODevice::Append);
        file.write(QFile::encodeName(relative) + '\0');
    }

private:
    void keep(const QString &stamp, const QString &relative)
    {
        const QString kept = run(stamp) + QLatin1Char('/') + relative;
        QDir().mkpath(QFileInfo(kept).path());
        ::link(QFile::encodeName(mirror(relative)).constData(), QFile::encodeName(kept).constData());
    }

    QString m_destination;
};

inline ino_t inodeOf(const QString &path)
{
    struct stat st {};
    ::lstat(QFile::encodeName(path).constData(), &st);
    return st.st_ino;
}

} // namespace cv::test
