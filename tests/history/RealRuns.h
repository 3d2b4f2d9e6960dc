#pragma once
// Backups made as the engine makes them: the journal's start line and the
// run's folder (Journal), the real `ditto` copying the source into the
// destination, then the end line. No hand-written version store.

#include "Journal.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QProcess>

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cv::test {

class RealRuns
{
public:
    RealRuns(QString source, QString destination)
        : m_source(std::move(source)), m_destination(std::move(destination))
    {
        QDir().mkpath(m_source);
        QDir().mkpath(m_destination);
    }
    const QString &source() const { return m_source; }
    const QString &destination() const { return m_destination; }

    // One run; its id. `folder` overrides the versions folder (an old run
    // from before the journal: no journal lines).
    QString run(const QDateTime &startUtc, bool versions = true, bool success = true)
    {
        const cv::Result<QString> id = history::beginRun(m_destination, startUtc, versions);
        EXPECT_TRUE(id) << id.reason().toStdString();
        if (!id)
            return {};
        const bool copied = ditto(versions ? history::runFolder(m_destination, *id) : QString());
        const cv::Result<> ended = history::endRun(m_destination, *id, startUtc.addMSecs(20), success && copied);
        EXPECT_TRUE(ended) << ended.reason().toStdString();
        return *id;
    }
    // A run of the time before the journal: a folder named by local time.
    void oldRun(const QString &name)
    {
        const QString folder = m_destination + QStringLiteral("/.corvantis-versions/") + name;
        QDir().mkpath(folder);
        ditto(folder);
    }
    bool ditto(const QString &versionsFolder)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("CORVANTIS_VERSIONS_DIR"));
        if (!versionsFolder.isEmpty())
            env.insert(QStringLiteral("CORVANTIS_VERSIONS_DIR"), versionsFolder);
        const RunResult r = runProgram(QStringLiteral(CV_COMPAT_BIN_DIR "/ditto"),
                                       {QStringLiteral("-rsrc"), m_source, m_destination}, env);
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        return r.exitCode == 0;
    }

private:
    QString m_source, m_destination;
};

// An entry's state: kind, data (a link's target), mode and modification time.
struct EntryState {
    char kind = '?';
    QByteArray data;
    unsigned mode = 0;
    qint64 mtimeNs = 0;
    bool operator==(const EntryState &) const = default;
};
using TreeState = QMap<QByteArray, EntryState>;

inline void snapshotInto(const QByteArray &root, const QByteArray &prefix, TreeState &out)
{
    DIR *dir = opendir((root + prefix).constData());
    if (!dir)
        return;
    while (const dirent *d = readdir(dir)) {
        const QByteArray name(d->d_name);
        if (name == "." || name == ".." || (prefix.isEmpty() && name.startsWith(".corvantis-")))
            continue;
        const QByteArray rel = prefix.isEmpty() ? name : prefix.mid(1) + '/' + name;
        const QByteArray full = root + '/' + rel;
        struct stat st {};
        lstat(full.constData(), &st);
        EntryState s;
        s.mode = st.st_mode & 07777;
        s.mtimeNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        if (S_ISDIR(st.st_mode)) {
            s.kind = 'd';
            snapshotInto(root, '/' + rel, out);
        } else if (S_ISLNK(st.st_mode)) {
            s.kind = 'l';
            char target[4096];
            const ssize_t n = readlink(full.constData(), target, sizeof target);
            s.data = QByteArray(target, n > 0 ? int(n) : 0);
        } else {
            s.kind = 'f';
            QFile f(QFile::decodeName(full));
            f.open(QIODevice::ReadOnly);
            s.data = f.readAll();
        }
        out.insert(rel, s);
    }
    closedir(dir);
}

// Every entry below `root`, by relative path (the version store left out).
inline TreeState snapshot(const QString &root)
{
    TreeState out;
    snapshotInto(QFile::encodeName(root), {}, out);
    return out;
}

inline bool writeBytes(const QByteArray &path, const QByteArray &bytes)
{
    const int fd = open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    const bool ok = write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    return close(fd) == 0 && ok;
}

// A file's bytes by a path that need not be UTF-8.
inline QByteArray readBytes(const QByteArray &path)
{
    QByteArray out;
    const int fd = open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return out;
    char buffer[65536];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        out.append(buffer, n);
    close(fd);
    return out;
}

inline void setMtime(const QByteArray &path, qint64 seconds)
{
    const struct timespec times[2] = {{seconds, 0}, {seconds, 123456789}};
    utimensat(AT_FDCWD, path.constData(), times, AT_SYMLINK_NOFOLLOW);
}

} // namespace cv::test
