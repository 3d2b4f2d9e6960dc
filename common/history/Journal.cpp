#include "Journal.h"

#include "HistoryNames.h"

#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <QSet>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cv::history {

namespace {

QString journalPath(const QString &destination)
{
    return versionsRoot(destination) + QLatin1Char('/') + QLatin1String(kJournalName);
}

QByteArray systemPath(const QString &path)
{
    return QFile::encodeName(path);
}

QString errorText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

bool isRunId(const QString &id)
{
    static const QRegularExpression pattern(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}-\\d{6}(-[1-9]\\d{0,8})?$"));
    return pattern.match(id).hasMatch();
}

QDateTime parseTime(const QString &text)
{
    static const QRegularExpression pattern(
        QStringLiteral("^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}\\.\\d{3}Z$"));
    if (!pattern.match(text).hasMatch())
        return {};
    return QDateTime::fromString(text, Qt::ISODateWithMs).toUTC();
}

QString timeText(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

QByteArray readAll(const QString &path, bool *missing = nullptr)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (missing)
            *missing = !file.exists();
        return {};
    }
    return file.readAll();
}

// One record: its kind and fields, or nothing for a line not of the form.
struct Record {
    bool start = false;
    QString id;
    QDateTime time;
    bool flag = false; // versions, or success
};

std::optional<Record> parseLine(QByteArrayView line)
{
    const QList<QByteArrayView> fields = [&] {
        QList<QByteArrayView> out;
        qsizetype from = 0;
        for (qsizetype tab; (tab = line.indexOf('\t', from)) >= 0; from = tab + 1)
            out.append(line.sliced(from, tab - from));
        out.append(line.sliced(from));
        return out;
    }();
    if (fields.size() != 4)
        return std::nullopt;
    Record r;
    r.start = fields[0] == "start";
    if (!r.start && fields[0] != "end")
        return std::nullopt;
    r.id = QString::fromLatin1(fields[1]);
    r.time = parseTime(QString::fromLatin1(fields[2]));
    if (!isRunId(r.id) || !r.time.isValid())
        return std::nullopt;
    const QByteArrayView yes = r.start ? "versions" : "success";
    const QByteArrayView no = r.start ? "no-versions" : "failed";
    if (fields[3] != yes && fields[3] != no)
        return std::nullopt;
    r.flag = fields[3] == yes;
    return r;
}

// Calls `each` for every complete line of the journal's text with its record.
template<class Each>
void forEachLine(const QByteArray &text, Each each)
{
    qsizetype from = 0;
    for (qsizetype lf; (lf = text.indexOf('\n', from)) >= 0; from = lf + 1) {
        const QByteArrayView line = QByteArrayView(text).sliced(from, lf - from);
        each(line, parseLine(line));
    }
}

bool writeAll(int fd, const QByteArray &bytes)
{
    return write(fd, bytes.constData(), size_t(bytes.size())) == ssize_t(bytes.size());
}

bool appendLine(const QString &destination, const QByteArray &line, QString *why)
{
    const QString path = journalPath(destination);
    const int fd = open(systemPath(path).constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (why)
            *why = QStringLiteral("%1: %2").arg(path, errorText(errno));
        return false;
    }
    QByteArray bytes = line;
    // A line cut short by a power cut must not swallow this one.
    struct stat st;
    char last = '\n';
    if (fstat(fd, &st) == 0 && st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n')
        bytes.prepend('\n');
    errno = 0;
    bool ok = writeAll(fd, bytes) && fsync(fd) == 0;
    const int err = errno ? errno : EIO;
    if (close(fd) != 0)
        ok = false;
    if (!ok && why)
        *why = QStringLiteral("%1: %2").arg(path, errorText(err));
    return ok;
}

} // namespace

QString runIdForTime(const QDateTime &startUtc)
{
    return startUtc.toUTC().toString(QStringLiteral("yyyy-MM-dd-HHmmss"));
}

QString runFolder(const QString &destination, const QString &id)
{
    return versionsRoot(destination) + QLatin1Char('/') + id;
}

QList<JournalRun> readJournal(const QString &destination)
{
    QList<JournalRun> runs;
    QHash<QString, qsizetype> index;
    forEachLine(readAll(journalPath(destination)), [&](QByteArrayView, const std::optional<Record> &r) {
        if (!r)
            return;
        const auto found = index.constFind(r->id);
        if (r->start) {
            if (found != index.cend())
                return; // an id names one run only
            index.insert(r->id, runs.size());
            runs.append({r->id, r->time, {}, RunOutcome::Interrupted, r->flag});
            return;
        }
        if (found == index.cend())
            return;
        JournalRun &run = runs[*found];
        if (run.outcome != RunOutcome::Interrupted)
            return;
        run.end = r->time;
        run.outcome = r->flag ? RunOutcome::Success : RunOutcome::Failed;
    });
    return runs;
}

std::optional<QString> beginRun(const QString &destination, const QDateTime &startUtc, bool versions,
                                QString *why)
{
    // Never the destination itself: one that is missing (a disk not
    // plugged in) must not be made on the disk underneath.
    const QString root = versionsRoot(destination);
    if (mkdir(systemPath(root).constData(), 0700) != 0 && errno != EEXIST) {
        if (why)
            *why = QStringLiteral("%1: %2").arg(root, errorText(errno));
        return std::nullopt;
    }
    QSet<QString> taken;
    for (const JournalRun &run : readJournal(destination))
        taken.insert(run.id);
    const QString base = runIdForTime(startUtc);
    for (int n = 1; n < 1000; ++n) {
        const QString id = n == 1 ? base : base + QLatin1Char('-') + QString::number(n);
        if (taken.contains(id))
            continue;
        const QByteArray folder = systemPath(runFolder(destination, id));
        if (versions) {
            if (mkdir(folder.constData(), 0700) != 0) {
                if (errno == EEXIST)
                    continue;
                if (why)
                    *why = QStringLiteral("%1: %2").arg(runFolder(destination, id), errorText(errno));
                return std::nullopt;
            }
        } else {
            struct stat st;
            if (lstat(folder.constData(), &st) == 0 || errno != ENOENT)
                continue;
        }
        const QByteArray line = "start\t" + id.toLatin1() + '\t' + timeText(startUtc).toLatin1() + '\t'
            + (versions ? "versions" : "no-versions") + '\n';
        if (!appendLine(destination, line, why)) {
            if (versions)
                rmdir(folder.constData()); // unrecorded, it would read as a run from before the journal
            return std::nullopt;
        }
        return id;
    }
    if (why)
        *why = QStringLiteral("%1: no free name for a run started at %2").arg(root, base);
    return std::nullopt;
}

bool endRun(const QString &destination, const QString &id, const QDateTime &endUtc, bool success, QString *why)
{
    const QByteArray line = "end\t" + id.toLatin1() + '\t' + timeText(endUtc).toLatin1() + '\t'
        + (success ? "success" : "failed") + '\n';
    return appendLine(destination, line, why);
}

bool dropFromJournal(const QString &destination, const QStringList &ids, QString *why)
{
    const QString path = journalPath(destination);
    bool missing = false;
    const QByteArray text = readAll(path, &missing);
    if (missing || ids.isEmpty())
        return true;
    const QSet<QString> dropped(ids.cbegin(), ids.cend());
    QByteArray kept;
    kept.reserve(text.size());
    forEachLine(text, [&](QByteArrayView line, const std::optional<Record> &r) {
        // Foreign lines stay: they are not ours to judge.
        if (!r || !dropped.contains(r->id))
            kept.append(line).append('\n');
    });
    if (kept.size() == text.size())
        return true;
    const QString temporary = path + QStringLiteral(".new-") + QString::number(getpid());
    const QByteArray tempName = systemPath(temporary);
    const int fd = open(tempName.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    bool ok = fd >= 0 && writeAll(fd, kept) && fsync(fd) == 0;
    int err = errno ? errno : EIO;
    if (fd >= 0 && close(fd) != 0)
        ok = false;
    if (ok && rename(tempName.constData(), systemPath(path).constData()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(tempName.constData());
        if (why)
            *why = QStringLiteral("%1: %2").arg(path, errorText(err));
    }
    return ok;
}

} // namespace cv::history
