#include "TestSupport.h"

#include <QDirIterator>

#include <cstdio>
#include <unistd.h>

#include "BackupFormat.h"
#include "Home.h"
#include "Names.h"
#include "PropertyList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace cv::test {

ScopedHome::ScopedHome()
    : m_dir(std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/cvhome-XXXXXX")))
    , m_path(m_dir->path())
    , m_previous(qgetenv("HOME"))
{
    qputenv("HOME", QFile::encodeName(m_path));
}

ScopedHome::~ScopedHome()
{
    qputenv("HOME", m_previous);
}

QString ScopedHome::file(const QString &relative) const
{
    return m_path + QLatin1Char('/') + relative;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

RunResult runProgram(const QString &program, const QStringList &arguments,
                     const QProcessEnvironment &env, int timeoutMs, const QByteArray &input)
{
    RunResult r;
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, arguments);
    if (!p.waitForStarted(10000)) {
        r.err = p.errorString().toUtf8();
        return r;
    }
    if (!input.isEmpty())
        p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(timeoutMs)) {
        r.timedOut = true;
        p.kill();
        p.waitForFinished(5000);
    }
    r.crashed = p.exitStatus() == QProcess::CrashExit;
    r.exitCode = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

QString testTool()
{
    return QStringLiteral(CV_TEST_TOOL);
}

bool writeEngineSettings(const QString &status, const QVariantMap &config)
{
    QDir().mkpath(QFileInfo(cv::defaultsFilePath()).absolutePath());
    QDir().mkpath(cv::supportFolder());
    const QVariantMap defaults{{QString::fromUtf8(cv::names::kCurrentConfigurationKey), status}};
    if (!cv::platform::writeDictionaryXmlAtomically(cv::defaultsFilePath(), defaults))
        return false;
    return config.isEmpty() || cv::platform::writeDictionaryXmlAtomically(cv::configFilePath(), config);
}

QProcessEnvironment engineEnvironment(const QString &platform, const QString &standinFolder)
{
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.insert(QStringLiteral("HOME"), cv::homeDirectory());
    e.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    if (platform == QLatin1String("offscreen")) {
        e.remove(QStringLiteral("DISPLAY"));
        e.remove(QStringLiteral("WAYLAND_DISPLAY"));
    }
    if (!standinFolder.isEmpty())
        e.insert(QStringLiteral("PATH"), standinFolder + QLatin1Char(':') + e.value(QStringLiteral("PATH")));
    return e;
}

CapturedStderr::CapturedStderr()
{
    m_file.open();
    std::fflush(stderr);
    m_saved.reset(::dup(STDERR_FILENO));
    ::dup2(m_file.handle(), STDERR_FILENO);
}

QByteArray CapturedStderr::take()
{
    std::fflush(stderr);
    if (m_saved) {
        ::dup2(m_saved.get(), STDERR_FILENO);
        m_saved.reset();
    }
    m_file.seek(0);
    return m_file.readAll();
}

QStringList CapturedStderr::takeMessages()
{
    QStringList messages;
    for (const QByteArray &line : take().split('\n')) {
        const int start = line.indexOf("] ");
        if (start >= 0)
            messages << QString::fromUtf8(line.mid(start + 2));
    }
    return messages;
}

QStringList treeListing(const QString &root)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        entries << QDir(root).relativeFilePath(path) + QLatin1Char(' ') + QString::fromLatin1(readFile(path).toHex());
    }
    entries.sort();
    return entries;
}

QStringList mirrorListing(const QString &destination)
{
    QStringList entries = treeListing(destination);
    entries.removeIf([](const QString &entry) { return entry.startsWith(QLatin1String(cv::format::kVersionsFolder)); });
    return entries;
}

} // namespace cv::test
