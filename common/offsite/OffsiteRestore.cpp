#include "OffsiteRestore.h"

#include "Home.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QTemporaryDir>

#include <algorithm>
#include <memory>

namespace cv::offsite {

namespace {

constexpr std::chrono::minutes kListLimit{2};

history::EntryKind kindOf(const QString &type)
{
    if (type == QLatin1String("file"))
        return history::EntryKind::File;
    if (type == QLatin1String("dir"))
        return history::EntryKind::Folder;
    if (type == QLatin1String("symlink"))
        return history::EntryKind::Link;
    return history::EntryKind::Other;
}

bool byPath(const history::Entry &a, const history::Entry &b) { return a.path < b.path; }

// restic lists names as text; the history's paths are bytes.
QList<QByteArray> pathBytes(const QStringList &paths)
{
    QList<QByteArray> bytes;
    bytes.reserve(paths.size());
    for (const QString &path : paths)
        bytes << path.toUtf8();
    return bytes;
}

// Where fetched entries wait to be put in place: beside the user's files
// rather than in a RAM-backed /tmp, since mail can be large. Null, with the
// failure set, when none can be made.
std::unique_ptr<QTemporaryDir> makeScratch(history::RestoreResult &result)
{
    const QString cache = cv::homeDirectory() + QStringLiteral("/.cache");
    QDir().mkpath(cache);
    auto scratch = std::make_unique<QTemporaryDir>(cache + QStringLiteral("/corvantis-restore-XXXXXX"));
    if (scratch->isValid())
        return scratch;
    result.failure = QStringLiteral("No scratch folder could be made in %1.").arg(cache);
    return nullptr;
}

} // namespace

QList<Snapshot> parseSnapshots(const QByteArray &json)
{
    QList<Snapshot> snapshots;
    const QJsonArray array = QJsonDocument::fromJson(json).array();
    for (const QJsonValue &value : array) {
        const QJsonObject object = value.toObject();
        Snapshot snapshot;
        snapshot.id = object.value(QStringLiteral("id")).toString();
        snapshot.shortId = object.value(QStringLiteral("short_id")).toString();
        snapshot.time = QDateTime::fromString(object.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs).toLocalTime();
        const QJsonArray paths = object.value(QStringLiteral("paths")).toArray();
        snapshot.source = paths.isEmpty() ? QString() : paths.first().toString();
        const QJsonArray tags = object.value(QStringLiteral("tags")).toArray();
        snapshot.client = tags.isEmpty() ? QString() : tags.first().toString();
        snapshot.host = object.value(QStringLiteral("hostname")).toString();
        if (!snapshot.id.isEmpty() && snapshot.time.isValid() && !snapshot.source.isEmpty())
            snapshots << snapshot;
    }
    std::stable_sort(snapshots.begin(), snapshots.end(), [](const Snapshot &a, const Snapshot &b) { return a.time > b.time; });
    return snapshots;
}

QList<history::Entry> parseListing(const QByteArray &lines, const QString &source)
{
    QList<history::Entry> entries;
    const QString prefix = QDir::cleanPath(source) + QLatin1Char('/');
    for (const QByteArray &line : lines.split('\n')) {
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        if (object.value(QStringLiteral("struct_type")).toString() != QLatin1String("node"))
            continue;
        const QString path = object.value(QStringLiteral("path")).toString();
        if (!path.startsWith(prefix) || path.size() == prefix.size())
            continue; // the folders above the source, and the source itself
        history::Entry entry;
        entry.path = path.mid(prefix.size()).toUtf8();
        entry.kind = kindOf(object.value(QStringLiteral("type")).toString());
        entry.size = entry.kind == history::EntryKind::Folder ? 0 : qint64(object.value(QStringLiteral("size")).toDouble());
        entry.modifiedMs = QDateTime::fromString(object.value(QStringLiteral("mtime")).toString(), Qt::ISODateWithMs)
                               .toMSecsSinceEpoch();
        entries << entry;
    }
    std::sort(entries.begin(), entries.end(), byPath);
    return entries;
}

QStringList snapshotLabels(const QList<Snapshot> &snapshots)
{
    QList<history::Point> points;
    points.reserve(snapshots.size());
    for (const Snapshot &snapshot : snapshots) {
        history::Point point;
        point.id = snapshot.id;
        point.time = snapshot.time;
        points << point;
    }
    const QStringList plain = history::pointLabels(points);
    QStringList labels = plain;
    // Two snapshots of one second: their ids tell them apart.
    for (qsizetype i = 0; i < labels.size(); ++i) {
        if (plain.count(plain.at(i)) > 1)
            labels[i] += QStringLiteral(" (%1)").arg(snapshots.at(i).shortId);
    }
    return labels;
}

OffsiteRepository::OffsiteRepository(QString repository, QString password, QString program)
    : m_repository(std::move(repository))
    , m_password(std::move(password))
    , m_program(std::move(program))
{
}

ResticResult OffsiteRepository::run(const QStringList &arguments, std::chrono::milliseconds limit)
{
    ResticRun run(m_program);
    run.setTimeLimit(limit);
    m_current = &run;
    ResticResult result = run.run(m_repository, m_password, arguments);
    m_current = nullptr;
    return result;
}

void OffsiteRepository::cancel()
{
    m_cancelled = true;
    if (m_current)
        m_current->interrupt();
}

Result<QList<Snapshot>> OffsiteRepository::snapshots()
{
    const ResticResult result = run({QStringLiteral("snapshots"), QStringLiteral("--json"), QStringLiteral("-q")}, kListLimit);
    if (!result.ok())
        return fail(result.reason);
    return parseSnapshots(result.output);
}

Result<QList<history::Entry>> OffsiteRepository::list(const Snapshot &snapshot)
{
    const ResticResult result = run({QStringLiteral("ls"), QStringLiteral("--json"), QStringLiteral("-q"), snapshot.id}, kListLimit);
    if (!result.ok())
        return fail(result.reason);
    return parseListing(result.output, snapshot.source);
}

std::optional<QList<history::Entry>> OffsiteRepository::fetch(const Snapshot &snapshot, const QStringList &selected,
                                                              const QString &scratch, history::RestoreResult &result)
{
    m_cancelled = false;
    const QString source = QDir::cleanPath(snapshot.source);
    QStringList arguments{QStringLiteral("restore"), snapshot.id, QStringLiteral("--target"), scratch};
    for (const QString &path : selected)
        arguments << QStringLiteral("--include") << escapePattern(source + QLatin1Char('/') + path);
    // No time bound: a large fetch takes as long as it takes; Cancel ends it.
    const ResticResult fetched = run(arguments, std::chrono::milliseconds(0));
    if (m_cancelled) {
        result.cancelled = true;
        return std::nullopt;
    }
    if (!fetched.ok()) {
        result.failure = QStringLiteral("Nothing could be fetched from the off-site repository: %1").arg(fetched.reason);
        return std::nullopt;
    }
    const QByteArray root = QFile::encodeName(scratch + source);
    QList<history::Entry> tree = history::scanTree(root);
    for (history::Entry &entry : tree)
        entry.diskPath = root + '/' + entry.path; // the fetched copy is where the data lies
    std::sort(tree.begin(), tree.end(), byPath);
    return tree;
}

history::RestoreResult OffsiteRepository::restoreTo(const Snapshot &snapshot, const QStringList &selected,
                                                    const QString &targetFolder, const history::ProgressCallback &progress)
{
    history::RestoreResult result;
    const auto scratch = makeScratch(result);
    const auto tree = scratch ? fetch(snapshot, selected, scratch->path(), result) : std::nullopt;
    return tree ? history::restoreTo(*tree, pathBytes(selected), targetFolder, progress) : result;
}

history::RestoreResult OffsiteRepository::restoreToOriginalPlace(const Snapshot &snapshot, const QStringList &selected,
                                                                 const history::ClientPlace &place,
                                                                 history::ClientQuitter &quitter, const QDateTime &now,
                                                                 const history::ProgressCallback &progress)
{
    history::RestoreResult result;
    const auto scratch = makeScratch(result);
    const auto tree = scratch ? fetch(snapshot, selected, scratch->path(), result) : std::nullopt;
    return tree ? history::restoreToOriginalPlace(*tree, pathBytes(selected), place, quitter, now, progress) : result;
}

} // namespace cv::offsite
