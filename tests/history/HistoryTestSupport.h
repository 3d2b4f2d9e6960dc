#pragma once
// Builds backups with earlier versions on disk as a run of the copy command
// leaves them: the mirror, and per run a folder named by its start holding
// the entries it replaced (hard links of the old files).

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

private:
    void keep(const QString &stamp, const QString &relative)
    {
        const QString kept = run(stamp) + QLatin1Char('/') + relative;
        QDir().mkpath(QFileInfo(kept).path());
        ::link(QFile::encodeName(mirror(relative)).constData(), QFile::encodeName(kept).constData());
    }

    QString m_destination;
};

} // namespace cv::test
