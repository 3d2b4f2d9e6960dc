#include "CommandLine.h"

#include "BackupHistory.h"
#include "Home.h"
#include "Names.h"
#include "PropertyList.h"
#include "Restore.h"
#include "RestoreSession.h"
#include "Result.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace cv::cli {

namespace {

const char kUsageText[] =
    "Usage: corvantis                      open the Corvantis window\n"
    "       corvantis points [--json]      list the points the backup can be restored from\n"
    "       corvantis ls POINT [PATH] [--json]\n"
    "                                      list PATH (relative to the backup folder) at POINT\n"
    "       corvantis restore POINT PATH... --to DIR\n"
    "                                      copy PATHs as they were at POINT into DIR\n"
    "       corvantis --help | --version\n"
    "Options:\n"
    "  --destination DIR  the backup folder (default: the one in the saved settings)\n"
    "  --json             print JSON instead of text\n"
    "POINT is an id from `corvantis points`; the newest is `latest`. Nothing is\n"
    "ever written over: a name that exists gets \" (restored)\".\n";

int complain(const Streams &s, const QString &line, int status = kFailed)
{
    std::fprintf(s.err, "corvantis: %s\n", line.toLocal8Bit().constData());
    return status;
}

void print(const Streams &s, const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), s.out);
}

QByteArray cleanPath(QByteArray path)
{
    while (path.startsWith("./"))
        path.remove(0, 2);
    while (path.endsWith('/'))
        path.chop(1);
    return path == "." ? QByteArray() : path;
}

// The point's time as ISO 8601 with the local offset.
QJsonValue isoTime(const QDateTime &time)
{
    if (!time.isValid())
        return QJsonValue::Null;
    const QDateTime local = time.toLocalTime();
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODate);
}

const char *kindWord(history::EntryKind kind)
{
    switch (kind) {
    case history::EntryKind::File: return "file";
    case history::EntryKind::Folder: return "folder";
    case history::EntryKind::Link: return "link";
    default: return "other";
    }
}

Result<QString> destinationOf(const Request &r)
{
    const QString destination = r.destination.isEmpty() ? savedDestination() : r.destination;
    if (destination.isEmpty())
        return cv::fail(QStringLiteral("no backup folder: none is saved in the settings; give one with --destination DIR"));
    if (!QFileInfo(destination).isDir())
        return cv::fail(QStringLiteral("the backup folder '%1' is not available").arg(destination));
    return destination;
}

int points(const Request &r, const Streams &s)
{
    const Result<QString> found = destinationOf(r);
    if (!found)
        return complain(s, found.reason());
    const QString &destination = *found;
    const QList<history::Point> points = history::BackupHistory(destination).points();
    QStringList labels = history::pointLabels(points);
    for (QString &label : labels)
        label.replace(QLatin1Char('\n'), QLatin1String(": "));
    if (r.json) {
        QJsonArray array;
        for (qsizetype i = 0; i < points.size(); ++i)
            array.append(QJsonObject{{QStringLiteral("id"), points[i].id},
                                     {QStringLiteral("time"), isoTime(points[i].time)},
                                     {QStringLiteral("failed"), points[i].failed},
                                     {QStringLiteral("label"), labels[i]}});
        print(s, QJsonDocument(array).toJson(QJsonDocument::Indented));
        return kOk;
    }
    for (qsizetype i = 0; i < points.size(); ++i)
        print(s, (points[i].id + QLatin1Char('\t') + labels[i] + QLatin1Char('\n')).toLocal8Bit());
    return kOk;
}

int list(const Request &r, const Streams &s)
{
    const Result<QString> found = destinationOf(r);
    if (!found)
        return complain(s, found.reason());
    const QString &destination = *found;
    const history::BackupHistory history(destination);
    const std::optional<history::Point> point = history.point(r.point);
    if (!point)
        return complain(s, QStringLiteral("no point '%1' in the backup '%2' (see `corvantis points`)").arg(r.point, destination));
    const QByteArray path = r.paths.isEmpty() ? QByteArray() : cleanPath(r.paths.first());
    const QList<history::Entry> tree = history.treeAt(*point);
    QList<history::Entry> shown;
    if (path.isEmpty()) {
        for (const history::Entry &e : tree)
            if (!e.path.contains('/'))
                shown.append(e);
    } else {
        const QList<history::Entry> below = history::BackupHistory::subtree(tree, path);
        if (below.isEmpty())
            return complain(s, QStringLiteral("'%1' is not in the backup at point '%2'").arg(history::readableName(path), r.point));
        for (const history::Entry &e : below)
            if (below.size() == 1 || (e.path.size() > path.size() && e.path.indexOf('/', path.size() + 1) < 0))
                shown.append(e);
    }
    QJsonArray array;
    for (history::Entry e : std::as_const(shown)) {
        history::fillDetails(e);
        if (r.json) {
            QJsonObject o{{QStringLiteral("name"), e.name()},
                          {QStringLiteral("path"), e.readablePath()},
                          {QStringLiteral("kind"), QLatin1String(kindWord(e.kind))},
                          {QStringLiteral("size"), e.size},
                          {QStringLiteral("modified"), isoTime(e.modified())}};
            if (e.name() != QString::fromUtf8(e.rawName()) || QString::fromUtf8(e.rawName()).toUtf8() != e.rawName())
                o.insert(QStringLiteral("name_bytes"), QString::fromLatin1(e.rawName().toBase64()));
            array.append(o);
        } else {
            // The name as bytes: what a script passes back to `restore`.
            print(s, QByteArray(kindWord(e.kind)) + '\t' + QByteArray::number(e.size) + '\t'
                         + e.modified().toLocalTime().toString(Qt::ISODate).toLatin1() + '\t' + e.rawName() + '\n');
        }
    }
    if (r.json)
        print(s, QJsonDocument(array).toJson(QJsonDocument::Indented));
    return kOk;
}

int restore(const Request &r, const Streams &s)
{
    const Result<QString> found = destinationOf(r);
    if (!found)
        return complain(s, found.reason());
    const QString &destination = *found;
    if (const QString problem = history::restoreTargetProblem(destination, r.target); !problem.isEmpty())
        return complain(s, problem);
    platform::RunLock lock;
    bool said = false;
    const auto waiting = [&] {
        if (!said)
            std::fprintf(s.err, "corvantis: a backup is running; waiting for it to finish…\n");
        said = true;
        return true;
    };
    if (const Result<> held = history::holdRunLock(lock, cv::runLockPath(), waiting); !held)
        return complain(s, held.reason());
    const Result<QList<history::Entry>> tree = history::currentTreeAt(destination, r.point, {});
    if (!tree)
        return complain(s, tree.reason());
    QList<QByteArray> selected;
    for (const QByteArray &given : r.paths) {
        const QByteArray path = cleanPath(given);
        if (history::BackupHistory::subtree(*tree, path).isEmpty())
            return complain(s, QStringLiteral("'%1' is not in the backup at point '%2'; nothing was restored")
                               .arg(history::readableName(given), r.point));
        selected.append(path);
    }
    const history::RestoreResult result = history::restoreTo(*tree, selected, r.target);
    for (const QString &written : result.restored)
        print(s, QFile::encodeName(written) + '\n');
    if (!result.failure.isEmpty())
        return complain(s, result.failure);
    if (!result.errors.isEmpty())
        return complain(s, QStringLiteral("%1 entries could not be restored; the first: %2")
                           .arg(result.errors.size())
                           .arg(result.errors.first()));
    return kOk;
}

} // namespace

QString savedDestination()
{
    const auto config = platform::readDictionaryFile(cv::configFilePath());
    const QVariant destination = config ? config->value(QLatin1String(names::kDestinationKey)) : QVariant();
    return destination.typeId() == QMetaType::QString ? destination.toString() : QString();
}

Request parseArguments(const QList<QByteArray> &arguments)
{
    Request r;
    QList<QByteArray> words;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QByteArray &a = arguments.at(i);
        if (a == "--help" || a == "-h" || a == "--version") {
            Request only;
            only.mode = a == "--version" ? Mode::Version : Mode::Help;
            return only;
        }
        if (a == "--json") {
            r.json = true;
        } else if (a == "--destination" || a == "--to") {
            if (i + 1 >= arguments.size()) {
                r.problem = QStringLiteral("%1 needs a folder").arg(QString::fromLatin1(a));
                return r;
            }
            (a == "--to" ? r.target : r.destination) = QFile::decodeName(arguments.at(++i));
        } else if (a.startsWith('-') && !a.startsWith("--") && words.isEmpty()) {
            return Request{}; // the toolkit's own options (-platform, -style…): the window
        } else if (a.startsWith("--")) {
            r.problem = QStringLiteral("unknown option %1").arg(QString::fromLocal8Bit(a));
            return r;
        } else {
            words.append(a);
        }
    }
    if (words.isEmpty()) {
        if (r.json || !r.destination.isEmpty() || !r.target.isEmpty())
            r.problem = QStringLiteral("options without a command");
        return r;
    }
    const QByteArray command = words.takeFirst();
    if (command == "points") {
        r.mode = Mode::Points;
        if (!words.isEmpty())
            r.problem = QStringLiteral("points takes no arguments");
    } else if (command == "ls") {
        r.mode = Mode::List;
        if (words.isEmpty() || words.size() > 2)
            r.problem = QStringLiteral("ls takes a POINT and at most one PATH");
    } else if (command == "restore") {
        r.mode = Mode::Restore;
        if (words.size() < 2 || r.target.isEmpty())
            r.problem = QStringLiteral("restore takes a POINT, one PATH or more, and --to DIR");
    } else {
        r.problem = QStringLiteral("unknown command '%1'").arg(QString::fromLocal8Bit(command));
        return r;
    }
    if (!words.isEmpty())
        r.point = QString::fromLocal8Bit(words.takeFirst());
    r.paths = words;
    if (r.mode != Mode::Restore && !r.target.isEmpty() && r.problem.isEmpty())
        r.problem = QStringLiteral("--to belongs to restore");
    if (r.mode == Mode::Restore && r.json && r.problem.isEmpty())
        r.problem = QStringLiteral("--json belongs to points and ls");
    return r;
}

int run(const Request &request, const Streams &streams)
{
    if (!request.problem.isEmpty()) {
        return complain(streams, request.problem + QStringLiteral(" (see 'corvantis --help')"), kUsage);
    }
    switch (request.mode) {
    case Mode::Help:
        std::fputs(kUsageText, streams.out);
        return kOk;
    case Mode::Version:
        std::fprintf(streams.out, "corvantis %s\n", CORVANTIS_VERSION);
        return kOk;
    case Mode::Points: return points(request, streams);
    case Mode::List: return list(request, streams);
    case Mode::Restore: return restore(request, streams);
    case Mode::Window: break;
    }
    return kOk;
}

} // namespace cv::cli
