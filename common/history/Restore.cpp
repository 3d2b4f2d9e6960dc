#include "Restore.h"

#include "ClientData.h"
#include "Clients.h"
#include "Names.h"
#include "ProgramProcesses.h"

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
#include <filesystem>

namespace cv::history {

namespace {

bool exists(const QByteArray &path)
{
    struct stat st;
    return lstat(path.constData(), &st) == 0;
}

QString shown(const QByteArray &path) { return readableName(path); }

// The selected paths that are in the tree, without those inside another
// selected folder (they come along with it).
QList<QByteArray> topSelections(const QList<Entry> &tree, QList<QByteArray> selected)
{
    std::sort(selected.begin(), selected.end());
    selected.erase(std::unique(selected.begin(), selected.end()), selected.end());
    QList<QByteArray> top;
    for (const QByteArray &path : std::as_const(selected)) {
        const bool inside = std::any_of(top.cbegin(), top.cend(), [&](const QByteArray &t) {
            return path.startsWith(t + '/');
        });
        if (!inside && !BackupHistory::subtree(tree, path).isEmpty())
            top.append(path);
    }
    return top;
}

void totals(const QList<Entry> &tree, const QList<QByteArray> &top, qint64 &bytes, int &files)
{
    bytes = 0;
    files = 0;
    for (const QByteArray &path : top)
        for (Entry e : BackupHistory::subtree(tree, path)) {
            if (e.kind == EntryKind::File && fillDetails(e))
                bytes += e.size;
            if (e.kind != EntryKind::Folder)
                ++files;
        }
}

// Copies `path` and all it holds at the point to `target`. False when it
// stopped (cancelled); single failures go to result.errors.
bool copySubtree(const QList<Entry> &tree, const QByteArray &path, const QByteArray &target, EntryCopier &copier,
                 RestoreResult &result)
{
    QByteArray failedFolder; // what lies below a folder that could not be made is skipped
    for (const Entry &e : BackupHistory::subtree(tree, path)) {
        if (!failedFolder.isEmpty() && e.path.startsWith(failedFolder + '/'))
            continue;
        const QByteArray to = target + e.path.mid(path.size());
        if (copier.copyEntry(e.diskPath, to, e.metadata))
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
    result.files = copier.filesWritten();
    result.bytes = copier.bytesWritten();
}

// Removes a copy of ours that will not be used.
void removeOurs(const QByteArray &path)
{
    std::error_code error;
    std::filesystem::remove_all(std::filesystem::path(path.toStdString()), error);
}

QByteArray parentOf(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    return slash <= 0 ? QByteArray("/") : path.left(slash);
}

QByteArray nameOf(const QByteArray &path) { return path.mid(path.lastIndexOf('/') + 1); }

// The real folder `path` is or would be in, following links: a path that does
// not exist yet lies where its nearest existing folder is.
QString resolvedFolder(QString path)
{
    QString rest;
    while (!path.isEmpty() && !QFileInfo::exists(path)) {
        rest = QLatin1Char('/') + QFileInfo(path).fileName() + rest;
        const QString up = QFileInfo(path).path();
        if (up == path)
            break;
        path = up;
    }
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return (canonical.isEmpty() ? path : canonical) + rest;
}

} // namespace

qint64 bytesToRestore(const QList<Entry> &tree, const QList<QByteArray> &selected)
{
    qint64 bytes;
    int files;
    totals(tree, topSelections(tree, selected), bytes, files);
    return bytes;
}

QByteArray unusedNameIn(const QByteArray &folder, const QByteArray &name, bool isFolder)
{
    const QByteArray base = folder + '/';
    if (!exists(base + name))
        return name;
    // A folder's name is a name whatever its dots ("abc.default"); a file
    // keeps its extension at the end.
    QByteArray stem = name, extension;
    const qsizetype dot = name.lastIndexOf('.');
    if (!isFolder && dot > 0) {
        stem = name.left(dot);
        extension = name.mid(dot);
    }
    for (int n = 1;; ++n) {
        const QByteArray candidate =
            stem + (n == 1 ? QByteArray(" (restored)") : " (restored " + QByteArray::number(n) + ')') + extension;
        if (!exists(base + candidate))
            return candidate;
    }
}

QString restoreTargetProblem(const QString &destination, const QString &target)
{
    const QString backup = resolvedFolder(destination);
    const QString into = resolvedFolder(target);
    if (into == backup || into.startsWith(backup + QLatin1Char('/')))
        return QStringLiteral("'%1' is inside the backup folder '%2'. Restoring there would change the backup; "
                              "choose a folder outside it.")
            .arg(target, destination);
    return {};
}

QString defaultRestoreFolder(const QDateTime &now)
{
    QString home = QDir::homePath();
    if (const QByteArray env = qgetenv("HOME"); !env.isEmpty())
        home = QFile::decodeName(env);
    return home + QStringLiteral("/Restored Mail ") + now.toString(QStringLiteral("yyyy-MM-dd HH.mm.ss"));
}

RestoreResult restoreTo(const QList<Entry> &tree, const QList<QByteArray> &selected, const QString &targetFolder,
                        const ProgressCallback &progress)
{
    RestoreResult result;
    if (!QDir().mkpath(targetFolder)) {
        result.failure = QStringLiteral("The folder '%1' could not be created.").arg(targetFolder);
        return result;
    }
    const QByteArray folder = QFile::encodeName(targetFolder);
    const QList<QByteArray> top = topSelections(tree, selected);
    qint64 bytes;
    int files;
    totals(tree, top, bytes, files);
    EntryCopier copier(progress, bytes, files);
    for (const QByteArray &path : top) {
        // Held here: a reference into the returned list would outlive it.
        const QList<Entry> subtree = BackupHistory::subtree(tree, path);
        const Entry &entry = subtree.constFirst();
        const QByteArray target = folder + '/' + unusedNameIn(folder, entry.rawName(), entry.kind == EntryKind::Folder);
        const bool goOn = copySubtree(tree, path, target, copier, result);
        if (exists(target))
            result.restored.append(QFile::decodeName(target));
        if (!goOn)
            break;
    }
    finish(copier, result);
    return result;
}

QByteArray ClientPlace::originalPathFor(const QByteArray &relativePath) const
{
    if (!preferencesFile.isEmpty() && relativePath == QFile::encodeName(QFileInfo(preferencesFile).fileName()))
        return QFile::encodeName(preferencesFile);
    return QFile::encodeName(dataFolder) + '/' + relativePath;
}

std::optional<ClientPlace> ClientPlace::forClient(const QString &client, const QString &home)
{
    const clients::Client *entry = clients::find(client);
    if (!entry)
        return std::nullopt;
    ClientPlace place;
    place.client = client;
    place.applicationName = QString::fromUtf8(entry->program);
    // The folder the backup copied, chosen by the same rule.
    place.dataFolder = cv::backedUpDataFolder(client, home);
    if (entry->preferences)
        place.preferencesFile = home + QString::fromUtf8(entry->preferences);
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

Result<> OsascriptQuitter::quitAndWait(const QString &applicationName)
{
    const std::string name = applicationName.toStdString();
    auto running = [&] { return !cv::processes::findProcesses(name, getuid(), getpid()).empty(); };
    if (!running())
        return {};
    QProcess osascript;
    osascript.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    osascript.setStandardOutputFile(QProcess::nullDevice());
    osascript.start(m_program, {QStringLiteral("-e"), QStringLiteral("tell application \"%1\"").arg(applicationName),
                                QStringLiteral("-e"), QStringLiteral("quit"), QStringLiteral("-e"),
                                QStringLiteral("end tell")});
    if (!osascript.waitForStarted(10000))
        return fail(QStringLiteral("%1 could not be asked to quit: '%2' did not start.").arg(applicationName, m_program));
    osascript.waitForFinished(30000);
    const auto deadline = std::chrono::steady_clock::now() + m_limit;
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline || (m_keepWaiting && !m_keepWaiting()))
            return fail(QStringLiteral("%1 did not quit; nothing was restored.").arg(applicationName));
        QThread::msleep(100);
    }
    return {};
}

namespace {

// Moves each current entry aside and its complete copy in. A rename that
// fails puts back what this swap moved so far.
void swapIn(const QList<QPair<QByteArray, QByteArray>> &copies, const QString &suffix, RestoreResult &result)
{
    QList<QPair<QByteArray, QByteArray>> done; // (original, aside or empty)
    for (const auto &[original, staging] : copies) {
        QByteArray aside;
        if (exists(original)) {
            aside = original + QFile::encodeName(suffix);
            for (int n = 2; exists(aside); ++n)
                aside = original + QFile::encodeName(suffix) + '-' + QByteArray::number(n);
            // rename(2) only: the current data is kept whole, never copied and deleted.
            if (rename(original.constData(), aside.constData()) != 0) {
                result.failure = QStringLiteral("'%1' could not be moved aside (%2); nothing was restored.")
                                     .arg(shown(original), QString::fromLocal8Bit(strerror(errno)));
                break;
            }
        }
        if (rename(staging.constData(), original.constData()) != 0) {
            result.failure = QStringLiteral("'%1' could not be put in place (%2); nothing was restored.")
                                 .arg(shown(original), QString::fromLocal8Bit(strerror(errno)));
            if (!aside.isEmpty())
                rename(aside.constData(), original.constData());
            break;
        }
        done.append({original, aside});
    }
    if (result.failure.isEmpty()) {
        for (const auto &[original, aside] : done) {
            result.restored.append(QFile::decodeName(original));
            if (!aside.isEmpty())
                result.setAside.append(QFile::decodeName(aside));
        }
        return;
    }
    for (auto it = done.crbegin(); it != done.crend(); ++it) {
        const QByteArray back = nameOf(it->first);
        const QByteArray staged = parentOf(it->first) + "/." + back + ".restore-undone";
        rename(it->first.constData(), staged.constData());
        removeOurs(staged);
        if (!it->second.isEmpty())
            rename(it->second.constData(), it->first.constData());
    }
    for (const auto &copy : copies)
        removeOurs(copy.second);
}

} // namespace

RestoreResult restoreToOriginalPlace(const QList<Entry> &tree, const QList<QByteArray> &selected,
                                     const ClientPlace &place, ClientQuitter &quitter, const QDateTime &now,
                                     const ProgressCallback &progress)
{
    RestoreResult result;
    // A selected entry the point no longer holds (a run since the listing
    // removed it) would be left out unseen, and the rest called a restore.
    for (const QByteArray &path : selected) {
        if (BackupHistory::subtree(tree, path).isEmpty()) {
            result.failure = QStringLiteral("Nothing was restored: '%1' is not in the backup any more.").arg(shown(path));
            return result;
        }
    }
    const QList<QByteArray> top = topSelections(tree, selected);
    if (top.isEmpty())
        return result;
    if (const Result<> quit = quitter.quitAndWait(place.applicationName); !quit) {
        result.failure = quit.reason();
        return result;
    }
    qint64 bytes;
    int files;
    totals(tree, top, bytes, files);
    EntryCopier copier(progress, bytes, files);
    // First every copy whole, beside what it replaces (same file system, so
    // the swap is a rename), under a hidden name the client never reads.
    QList<QPair<QByteArray, QByteArray>> copies;
    bool goOn = true;
    for (const QByteArray &path : top) {
        const QByteArray original = place.originalPathFor(path);
        QDir().mkpath(QFile::decodeName(parentOf(original)));
        QByteArray staging = parentOf(original) + "/." + nameOf(original) + ".restoring";
        for (int n = 2; exists(staging); ++n)
            staging = parentOf(original) + "/." + nameOf(original) + ".restoring-" + QByteArray::number(n);
        copies.append({original, staging});
        goOn = copySubtree(tree, path, staging, copier, result);
        if (!goOn || !result.errors.isEmpty())
            break;
    }
    copier.finishFolders();
    result.cancelled = copier.cancelled();
    if (result.cancelled || !result.errors.isEmpty()) {
        for (const auto &copy : std::as_const(copies))
            removeOurs(copy.second);
        if (!result.cancelled)
            result.failure = QStringLiteral("Nothing was restored; %1 is as it was.").arg(place.dataFolder);
        return result; // nothing written: no files, no bytes
    }
    const QString suffix = QStringLiteral(".before-restore-") + now.toString(QStringLiteral("yyyyMMdd-HHmmss"));
    swapIn(copies, suffix, result);
    if (result.failure.isEmpty()) {
        result.files = copier.filesWritten();
        result.bytes = copier.bytesWritten();
    }
    return result;
}

} // namespace cv::history
