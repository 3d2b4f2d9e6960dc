#include "Restore.h"

#include "ClientData.h"
#include "Names.h"
#include "Osascript.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace cv::history {

namespace {

bool exists(const QString &path)
{
    struct stat st;
    return lstat(QFile::encodeName(path).constData(), &st) == 0;
}

// The selected paths that are in the tree, without those inside another
// selected folder (they come along with it).
QStringList topSelections(const QList<Entry> &tree, QStringList selected)
{
    std::sort(selected.begin(), selected.end());
    selected.removeDuplicates();
    QStringList top;
    for (const QString &path : std::as_const(selected)) {
        const bool inside = std::any_of(top.cbegin(), top.cend(), [&](const QString &t) {
            return path.startsWith(t + QLatin1Char('/'));
        });
        if (!inside && !BackupHistory::subtree(tree, path).isEmpty())
            top.append(path);
    }
    return top;
}

void totals(const QList<Entry> &tree, const QStringList &top, qint64 &bytes, int &files)
{
    bytes = 0;
    files = 0;
    for (const QString &path : top)
        for (Entry e : BackupHistory::subtree(tree, path)) {
            if (e.kind == EntryKind::File && fillDetails(e))
                bytes += e.size;
            if (e.kind != EntryKind::Folder)
                ++files;
        }
}

// Copies `path` and all it holds at the point to `target`. False when it
// stopped (cancelled); single failures go to result.errors.
bool copySubtree(const QList<Entry> &tree, const QString &path, const QString &target, EntryCopier &copier,
                 RestoreResult &result)
{
    QString failedFolder; // what lies below a folder that could not be made is skipped
    for (const Entry &e : BackupHistory::subtree(tree, path)) {
        if (!failedFolder.isEmpty() && e.path.startsWith(failedFolder + QLatin1Char('/')))
            continue;
        const QString to = target + e.path.mid(path.size());
        if (copier.copyEntry(e.diskPath, to))
            continue;
        if (copier.cancelled())
            return false;
        result.errors.append(copier.error());
        if (e.kind == EntryKind::Folder)
            failedFolder = e.path;
    }
    return true;
}

void finish(EntryCopier &copier, RestoreResult &result)
{
    copier.finishFolders();
    result.cancelled = copier.cancelled();
    result.files = copier.progress().filesDone;
    result.bytes = copier.progress().bytesDone;
}

} // namespace

qint64 bytesToRestore(const QList<Entry> &tree, const QStringList &selected)
{
    qint64 bytes;
    int files;
    totals(tree, topSelections(tree, selected), bytes, files);
    return bytes;
}

QString unusedNameIn(const QString &folder, const QString &name, bool isFolder)
{
    const QString base = folder + QLatin1Char('/');
    if (!exists(base + name))
        return name;
    QString stem = name, extension;
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (!isFolder && dot > 0) {
        stem = name.left(dot);
        extension = name.mid(dot);
    }
    for (int n = 1;; ++n) {
        const QString candidate = stem + (n == 1 ? QStringLiteral(" (restored)") : QStringLiteral(" (restored %1)").arg(n))
            + extension;
        if (!exists(base + candidate))
            return candidate;
    }
}

QString defaultRestoreFolder(const QDateTime &now)
{
    QString home = QDir::homePath();
    if (const QByteArray env = qgetenv("HOME"); !env.isEmpty())
        home = QFile::decodeName(env);
    return home + QStringLiteral("/Restored Mail ") + now.toString(QStringLiteral("yyyy-MM-dd HH.mm.ss"));
}

RestoreResult restoreTo(const QList<Entry> &tree, const QStringList &selected, const QString &targetFolder,
                        const ProgressCallback &progress)
{
    RestoreResult result;
    if (!QDir().mkpath(targetFolder)) {
        result.failure = QStringLiteral("The folder '%1' could not be created.").arg(targetFolder);
        return result;
    }
    const QStringList top = topSelections(tree, selected);
    qint64 bytes;
    int files;
    totals(tree, top, bytes, files);
    EntryCopier copier(progress, bytes, files);
    for (const QString &path : top) {
        // Held here: a reference into the returned list would outlive it.
        const QList<Entry> subtree = BackupHistory::subtree(tree, path);
        if (subtree.isEmpty())
            continue;
        const Entry &entry = subtree.constFirst();
        const QString name = unusedNameIn(targetFolder, entry.name(), entry.kind == EntryKind::Folder);
        const QString target = targetFolder + QLatin1Char('/') + name;
        const bool goOn = copySubtree(tree, path, target, copier, result);
        if (exists(target))
            result.restored.append(target);
        if (!goOn)
            break;
    }
    finish(copier, result);
    return result;
}

QString ClientPlace::originalPathFor(const QString &relativePath) const
{
    if (!preferencesFile.isEmpty() && relativePath == QFileInfo(preferencesFile).fileName())
        return preferencesFile;
    return dataFolder + QLatin1Char('/') + relativePath;
}

std::optional<ClientPlace> ClientPlace::forClient(const QString &client, const QString &home)
{
    using namespace cv::names;
    // The program the backup script quits, by client.
    static const std::pair<const char *, const char *> kApplications[] = {
        {kAppleMail, "Mail"},
        {kOutlook2011, "Microsoft Outlook"},
        {kEntourage2008, "Microsoft Entourage"},
        {kEntourage2004, "Microsoft Entourage"},
        {kEntourageVX, "Microsoft Entourage"},
        {kThunderbird, "Thunderbird"},
        {kEudora6, "Eudora"},
    };
    const auto found = std::find_if(std::begin(kApplications), std::end(kApplications),
                                    [&client](const auto &entry) { return client == QLatin1String(entry.first); });
    if (found == std::end(kApplications))
        return std::nullopt;
    ClientPlace place;
    place.client = client;
    place.applicationName = QString::fromUtf8(found->second);
    // The folder the backup copied, chosen by the same rule.
    place.dataFolder = cv::backedUpDataFolder(client, home);
    if (client == QLatin1String(kAppleMail))
        place.preferencesFile = home + QStringLiteral("/Library/Preferences/com.apple.mail.plist");
    return place;
}

OsascriptQuitter::OsascriptQuitter(QString osascriptProgram, std::chrono::milliseconds limit,
                                   std::function<bool()> keepWaiting)
    : m_program(std::move(osascriptProgram))
    , m_limit(limit)
    , m_keepWaiting(std::move(keepWaiting))
{
}

QString OsascriptQuitter::findOsascript(const QString &installedEnginePath)
{
    const QString system = QStandardPaths::findExecutable(QStringLiteral("osascript"));
    if (!system.isEmpty())
        return system;
    return installedEnginePath + QStringLiteral("/Contents/Resources/bin/osascript");
}

bool OsascriptQuitter::quitAndWait(const QString &applicationName, QString &why)
{
    const std::string name = applicationName.toStdString();
    auto running = [&] { return !cv::compat::findProcesses(name, getuid(), getpid()).empty(); };
    if (!running())
        return true;
    QProcess osascript;
    osascript.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    osascript.setStandardOutputFile(QProcess::nullDevice());
    osascript.start(m_program, {QStringLiteral("-e"), QStringLiteral("tell application \"%1\"").arg(applicationName),
                                QStringLiteral("-e"), QStringLiteral("quit"), QStringLiteral("-e"),
                                QStringLiteral("end tell")});
    if (!osascript.waitForStarted(10000)) {
        why = QStringLiteral("%1 could not be asked to quit: '%2' did not start.").arg(applicationName, m_program);
        return false;
    }
    osascript.waitForFinished(30000);
    const auto deadline = std::chrono::steady_clock::now() + m_limit;
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline || (m_keepWaiting && !m_keepWaiting())) {
            why = QStringLiteral("%1 did not quit; nothing was restored.").arg(applicationName);
            return false;
        }
        QThread::msleep(100);
    }
    return true;
}

RestoreResult restoreToOriginalPlace(const QList<Entry> &tree, const QStringList &selected, const ClientPlace &place,
                                     ClientQuitter &quitter, const QDateTime &now, const ProgressCallback &progress)
{
    RestoreResult result;
    const QStringList top = topSelections(tree, selected);
    if (top.isEmpty())
        return result;
    if (QString why; !quitter.quitAndWait(place.applicationName, why)) {
        result.failure = why;
        return result;
    }
    qint64 bytes;
    int files;
    totals(tree, top, bytes, files);
    EntryCopier copier(progress, bytes, files);
    const QString suffix = QStringLiteral(".before-restore-") + now.toString(QStringLiteral("yyyyMMdd-HHmmss"));
    for (const QString &path : top) {
        const QString original = place.originalPathFor(path);
        const QByteArray originalName = QFile::encodeName(original);
        if (exists(original)) {
            QString aside = original + suffix;
            for (int n = 2; exists(aside); ++n)
                aside = original + suffix + QStringLiteral("-%1").arg(n);
            // rename(2) only: the current data is kept whole, never copied and deleted.
            if (rename(originalName.constData(), QFile::encodeName(aside).constData()) != 0) {
                result.errors.append(QStringLiteral("'%1' could not be moved aside (%2); it was not restored.")
                                         .arg(original, QString::fromLocal8Bit(strerror(errno))));
                continue;
            }
            result.setAside.append(aside);
        }
        QDir().mkpath(QFileInfo(original).path());
        const bool goOn = copySubtree(tree, path, original, copier, result);
        result.restored.append(original);
        if (!goOn)
            break;
    }
    finish(copier, result);
    return result;
}

} // namespace cv::history
