#pragma once
// Backups made as the engine makes them: the journal's start line and the
// run's folder, the real `ditto` copying the source into the destination,
// then the end line. Only damage no real run leaves is written by hand, and
// then with the names ditto itself uses.

#include "BackupFormat.h"
#include "Journal.h"
#include "TestSupport.h"

#include <QDir>
#include <QMap>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>

namespace cv::test {

// The one place the tests write the journal; an empty id when it failed.
inline QString startRun(const QString &destination, const QDateTime &startUtc, bool versions = true)
{
    const cv::Result<QString> id = history::beginRun(destination, startUtc, versions);
    EXPECT_TRUE(id) << id.reason().toStdString();
    return id.valueOr(QString());
}
inline void finishRun(const QString &destination, const QString &id, const QDateTime &endUtc, bool success = true)
{
    const cv::Result<> ended = history::endRun(destination, id, endUtc, success);
    EXPECT_TRUE(ended) << ended.reason().toStdString();
}

// <destination>/<versions folder>/<name>: a run's folder, the journal or damage.
inline QString inVersions(const QString &destination, const QString &name)
{
    return destination + QLatin1Char('/') + QLatin1String(format::kVersionsFolder) + QLatin1Char('/') + name;
}

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

    // One journalled run; its id.
    QString run(const QDateTime &startUtc, bool versions = true, bool success = true)
    {
        const QString id = startRun(m_destination, startUtc, versions);
        if (id.isEmpty())
            return id;
        const bool copied = ditto(versions ? inVersions(m_destination, id) : QString());
        finishRun(m_destination, id, startUtc.addMSecs(20), success && copied);
        return id;
    }
    // A run of the time before the journal: a folder named by local time.
    QString oldRun(const QString &name)
    {
        QDir().mkpath(inVersions(m_destination, name));
        ditto(inVersions(m_destination, name));
        return name;
    }
    bool ditto(const QString &versionsFolder)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QLatin1String(format::kVersionsDirVariable));
        if (!versionsFolder.isEmpty())
            env.insert(QLatin1String(format::kVersionsDirVariable), versionsFolder);
        const RunResult r = runProgram(QStringLiteral(CV_COMPAT_BIN_DIR "/ditto"),
                                       {QStringLiteral("-rsrc"), m_source, m_destination}, env);
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        return r.exitCode == 0;
    }

private:
    QString m_source, m_destination;
};

// Paths as bytes: names need not be UTF-8.
inline void writeBytes(const QByteArray &path, const QByteArray &bytes)
{
    std::ofstream(path.toStdString(), std::ios::binary).write(bytes.constData(), bytes.size());
}
inline QByteArray readBytes(const QByteArray &path)
{
    std::ifstream in(path.toStdString(), std::ios::binary);
    return QByteArray::fromStdString(std::string(std::istreambuf_iterator<char>(in), {}));
}
inline void setMtime(const QByteArray &path, qint64 seconds)
{
    const struct timespec times[2] = {{seconds, 0}, {seconds, 123456789}};
    utimensat(AT_FDCWD, path.constData(), times, AT_SYMLINK_NOFOLLOW);
}

// A small disk of its own at `path` for the full-disk cases, while it lives;
// not mounted where this machine allows no mount.
struct SmallDisk {
    SmallDisk(const QString &folder, const char *size) : path(QFile::encodeName(folder))
    {
        QDir().mkpath(folder);
        mounted = mount("tmpfs", path.constData(), "tmpfs", 0, (QByteArray("size=") + size).constData()) == 0;
    }
    ~SmallDisk()
    {
        if (mounted)
            umount2(path.constData(), MNT_DETACH);
    }
    QByteArray path;
    bool mounted = false;
};

// The local time zone for the object's lifetime (set again when changed),
// then the one before, even when a test ends early.
struct ScopedTimeZone {
    explicit ScopedTimeZone(const char *zone) { set(zone); }
    ~ScopedTimeZone() { set(nullptr); }
    void set(const char *zone)
    {
        zone ? qputenv("TZ", zone) : qunsetenv("TZ");
        tzset();
    }
};

// An entry's state: kind, data (a link's target), mode and modification time.
struct EntryState {
    char kind = 'f';
    QByteArray data;
    unsigned mode = 0;
    qint64 mtimeNs = 0;
    bool operator==(const EntryState &) const = default;
};
using TreeState = QMap<QByteArray, EntryState>;

// Every entry below `root`, by relative path, the version store left out.
inline TreeState snapshot(const QString &root)
{
    namespace fs = std::filesystem;
    TreeState out;
    const fs::path base(QFile::encodeName(root).toStdString());
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(base, error); it != fs::recursive_directory_iterator(); ++it) {
        const QByteArray rel = QByteArray::fromStdString(it->path().lexically_relative(base).native());
        if (it.depth() == 0 && rel.startsWith(format::kReservedPrefix)) {
            it.disable_recursion_pending();
            continue;
        }
        struct stat st {};
        lstat(it->path().c_str(), &st);
        EntryState s{'f', {}, st.st_mode & 07777, qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
        if (S_ISDIR(st.st_mode))
            s.kind = 'd';
        else if (S_ISLNK(st.st_mode))
            s = {'l', QByteArray::fromStdString(fs::read_symlink(it->path()).native()), s.mode, s.mtimeNs};
        else
            s.data = readBytes(QByteArray::fromStdString(it->path().native()));
        out.insert(rel, s);
    }
    return out;
}

} // namespace cv::test
