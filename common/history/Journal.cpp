#include "Journal.h"

#include "HistoryNames.h"
#include "UniqueFd.h"

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
    return versionsRoot(destination) + QLatin1Char('/') + QLatin1String(format::kJournalName);
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

QByteArray journalLine(const char *kind, const QString &id, const QDateTime &time, const char *flag)
{
    return QByteArray(kind) + '\t' + id.toLatin1() + '\t' + timeText(time).toLatin1() + '\t' + flag + '\n';
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
    r.start = fields[0] == format::kJournalStart;
    if (!r.start && fields[0] != format::kJournalEnd)
        return std::nullopt;
    r.id = QString::fromLatin1(fields[1]);
    r.time = parseTime(QString::fromLatin1(fields[2]));
    if (!isRunId(r.id) || !r.time.isValid())
        return std::nullopt;
    const QByteArrayView yes = r.start ? format::kJournalVersions : format::kJournalSuccess;
    const QByteArrayView no = r.start ? format::kJournalNoVersions : format::kJournalFailed;
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

cv::Result<> appendLine(const QString &destination, const QByteArray &line)
{
    const QString path = journalPath(destination);
    UniqueFd fd(open(systemPath(path).constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
    if (!fd)
        return cv::fail(QStringLiteral("%1: %2").arg(path, errorText(errno)));
    QByteArray bytes = line;
    // A line cut short by a power cut must not swallow this one.
    struct stat st;
    char last = '\n';
    if (fstat(fd.get(), &st) == 0 && st.st_size > 0 && pread(fd.get(), &last, 1, st.st_size - 1) == 1 && last != '\n')
        bytes.prepend('\n');
    errno = 0;
    bool ok = writeAll(fd.get(), bytes) && fsync(fd.get()) == 0;
    const int err = errno ? errno : EIO;
    if (fd.close() != 0)
        ok = false;
    if (!ok)
        return cv::fail(QStringLiteral("%1: %2").arg(path, errorText(err)));
    return {};
}

// Writes `text` under a temporary name beside `path`, then renames it over.
cv::Result<> replaceFile(const QString &path, const QByteArray &text)
{
    const QByteArray tempName = systemPath(path + QStringLiteral(".new-") + QString::number(getpid()));
    UniqueFd fd(open(tempName.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    bool ok = fd && writeAll(fd.get(), text) && fsync(fd.get()) == 0;
    int err = errno ? errno : EIO;
    if (fd && fd.close() != 0)
        ok = false;
    if (ok && rename(tempName.constData(), systemPath(path).constData()) != 0) {
        ok = false;
        err = errno;
    }
    if (ok)
        return {};
    unlink(tempName.constData());
    return cv::fail(QStringLiteral("%1: %2").arg(path, errorText(err)));
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

cv::Result<QString> beginRun(const QString &destination, const QDateTime &startUtc, bool versions)
{
    // Never the destination itself: one that is missing (a disk not
    // plugged in) must not be made on the disk underneath.
    const QString root = versionsRoot(destination);
    if (mkdir(systemPath(root).constData(), 0700) != 0 && errno != EEXIST)
        return cv::fail(QStringLiteral("%1: %2").arg(root, errorText(errno)));
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
                return cv::fail(QStringLiteral("%1: %2").arg(runFolder(destination, id), errorText(errno)));
            }
        } else {
            struct stat st;
            if (lstat(folder.constData(), &st) == 0 || errno != ENOENT)
                continue;
        }
        const cv::Result<> appended = appendLine(destination, journalLine(format::kJournalStart, id, startUtc,
                                                                          versions ? format::kJournalVersions
                                                                                   : format::kJournalNoVersions));
        if (!appended) {
            if (versions)
                rmdir(folder.constData()); // unrecorded, it would read as a run from before the journal
            return cv::fail(appended.reason());
        }
        return id;
    }
    return cv::fail(QStringLiteral("%1: no free name for a run started at %2").arg(root, base));
}

cv::Result<> endRun(const QString &destination, const QString &id, const QDateTime &endUtc, bool success)
{
    return appendLine(destination, journalLine(format::kJournalEnd, id, endUtc,
                                               success ? format::kJournalSuccess : format::kJournalFailed));
}

cv::Result<> dropFromJournal(const QString &destination, const QStringList &ids)
{
    const QString path = journalPath(destination);
    bool missing = false;
    const QByteArray text = readAll(path, &missing);
    if (missing || ids.isEmpty())
        return {};
    const QSet<QString> dropped(ids.cbegin(), ids.cend());
    QByteArray kept;
    kept.reserve(text.size());
    forEachLine(text, [&](QByteArrayView line, const std::optional<Record> &r) {
        // Foreign lines stay: they are not ours to judge.
        if (!r || !dropped.contains(r->id))
            kept.append(line).append('\n');
    });
    if (kept.size() == text.size())
        return {};
    return replaceFile(path, kept);
}

} // namespace cv::history
