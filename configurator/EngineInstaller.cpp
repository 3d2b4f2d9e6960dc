#include "EngineInstaller.h"

#include "Log.h"
#include "PropertyList.h"
#include "Result.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <system_error>

namespace cv::configurator {
namespace fs = std::filesystem;
namespace {

// Hidden siblings of the installed bundle: the incoming copy and the old
// engine on its way out. A start that died half way leaves them behind; the
// next start removes them.
const QLatin1String kIncomingTag(".incoming-");
const QLatin1String kOutgoingTag(".outgoing-");

fs::path nativePath(const QString &path)
{
    return fs::path(QFile::encodeName(path).toStdString());
}

QString describe(const std::error_code &error, const fs::path &where)
{
    return QStringLiteral("%1: %2").arg(QFile::decodeName(QByteArray::fromStdString(where.string())),
                                        QString::fromLocal8Bit(error.message().c_str()));
}

// Anything at the path, a dangling symbolic link included.
bool somethingAt(const QString &path)
{
    std::error_code error;
    return fs::symlink_status(nativePath(path), error).type() != fs::file_type::not_found
        && !error;
}

// Copies a bundle tree: folders, files with their permission bits (the
// executables must stay executable), symbolic links as links. Stops at the
// first failure and says where.
Result<> copyTree(const fs::path &from, const fs::path &to)
{
    std::error_code error;
    const fs::file_status status = fs::symlink_status(from, error);
    if (error)
        return fail(describe(error, from));
    switch (status.type()) {
    case fs::file_type::symlink: {
        const fs::path target = fs::read_symlink(from, error);
        if (!error)
            fs::create_symlink(target, to, error);
        break;
    }
    case fs::file_type::regular:
        fs::copy_file(from, to, fs::copy_options::none, error);
        if (!error)
            fs::permissions(to, status.permissions(), error);
        break;
    case fs::file_type::directory: {
        // Owner access first so the contents can be written; the folder's
        // own bits are set once it is complete.
        fs::create_directory(to, error);
        if (error)
            break;
        fs::permissions(to, fs::perms::owner_all, error);
        if (error)
            break;
        fs::directory_iterator entries(from, error);
        for (; !error && entries != fs::directory_iterator(); entries.increment(error)) {
            if (Result<> copied = copyTree(entries->path(), to / entries->path().filename()); !copied)
                return copied;
        }
        if (!error)
            fs::permissions(to, status.permissions(), error);
        break;
    }
    default:
        return fail(QStringLiteral("%1: neither a file, a folder nor a link")
                        .arg(QFile::decodeName(QByteArray::fromStdString(from.string()))));
    }
    if (error)
        return fail(describe(error, from));
    return {};
}

// A tree that holds read-only folders cannot be removed before they are
// writable again.
void removeTree(const fs::path &path)
{
    std::error_code error;
    if (fs::symlink_status(path, error).type() == fs::file_type::directory) {
        fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, error);
        for (fs::directory_iterator entries(path, error);
             !error && entries != fs::directory_iterator(); entries.increment(error))
            removeTree(entries->path());
    }
    fs::remove(path, error);
}

QString uniqueSibling(const QString &installedPath, QLatin1String tag)
{
    const QFileInfo info(installedPath);
    for (;;) {
        const QString candidate = info.absolutePath() + QLatin1String("/.") + info.fileName() + tag
            + QString::number(QRandomGenerator::global()->generate(), 36);
        if (!somethingAt(candidate))
            return candidate;
    }
}

qint64 leadingInteger(const QString &text)
{
    // As the platform's intValue reads a string: blanks, an optional sign,
    // digits; saturating rather than wrapping.
    qsizetype i = 0;
    while (i < text.size() && text.at(i).isSpace())
        ++i;
    bool negative = false;
    if (i < text.size() && (text.at(i) == QLatin1Char('+') || text.at(i) == QLatin1Char('-')))
        negative = text.at(i++) == QLatin1Char('-');
    qint64 value = 0;
    constexpr qint64 limit = std::numeric_limits<int>::max();
    for (; i < text.size() && text.at(i) >= QLatin1Char('0') && text.at(i) <= QLatin1Char('9'); ++i)
        value = std::min(limit + 1, value * 10 + (text.at(i).unicode() - '0'));
    return negative ? -std::min(value, limit + 1) : std::min(value, limit);
}

} // namespace

EngineInstaller::EngineInstaller(QString shippedPath, QString installedPath)
    : m_shippedPath(std::move(shippedPath))
    , m_installedPath(std::move(installedPath))
{
    while (m_installedPath.size() > 1 && m_installedPath.endsWith(QLatin1Char('/')))
        m_installedPath.chop(1);
}

qint64 EngineInstaller::buildNumber(const QString &bundlePath)
{
    const auto info = platform::readDictionaryFile(bundlePath + QLatin1String("/Contents/Info.plist"));
    if (!info)
        return 0;
    const QVariant version = info->value(QStringLiteral("CFBundleVersion"));
    constexpr qint64 low = std::numeric_limits<int>::min();
    constexpr qint64 high = std::numeric_limits<int>::max();
    switch (version.typeId()) {
    case QMetaType::QString:
        return leadingInteger(version.toString());
    case QMetaType::LongLong:
        return std::clamp<qint64>(version.toLongLong(), low, high);
    case QMetaType::Double: {
        const double value = std::trunc(version.toDouble());
        return std::isfinite(value) ? static_cast<qint64>(std::clamp<double>(value, low, high)) : 0;
    }
    default:
        return 0;
    }
}

std::error_code EngineInstaller::renameEntry(const QString &from, const QString &to)
{
    std::error_code error;
    fs::rename(nativePath(from), nativePath(to), error);
    return error;
}

EngineInstallOutcome EngineInstaller::checkBackupEngine()
{
    removeLeftovers();
    if (!somethingAt(m_installedPath)) {
        platform::NSLog(QStringLiteral("Moving Backup Engine"));
        return install(false);
    }
    if (buildNumber(m_shippedPath) <= buildNumber(m_installedPath))
        return EngineInstallOutcome::UpToDate;
    platform::NSLog(QStringLiteral("Updating Backup Engine"));
    return install(true);
}

EngineInstallOutcome EngineInstaller::install(bool replacing)
{
    const QString incoming = uniqueSibling(m_installedPath, kIncomingTag);
    const Result<> copied = QFileInfo(m_shippedPath).isDir()
        ? copyTree(nativePath(m_shippedPath), nativePath(incoming))
        : fail(QStringLiteral("%1: no engine bundle there").arg(m_shippedPath));
    if (!copied) {
        removeTree(nativePath(incoming));
        platform::NSLog(QStringLiteral("Could not install the Backup Engine (%1); the next start tries again.")
                            .arg(copied.reason()));
        return EngineInstallOutcome::Failed;
    }

    std::error_code error;
    QString outgoing;
    if (replacing) {
        outgoing = uniqueSibling(m_installedPath, kOutgoingTag);
        error = renameEntry(m_installedPath, outgoing);
    }
    if (!error)
        error = renameEntry(incoming, m_installedPath);
    if (error) {
        // Put the old engine back where cron expects it.
        if (replacing && !somethingAt(m_installedPath))
            renameEntry(outgoing, m_installedPath);
        removeTree(nativePath(incoming));
        platform::NSLog(QStringLiteral("Could not install the Backup Engine (%1); the next start tries again.")
                            .arg(describe(error, nativePath(m_installedPath))));
        return EngineInstallOutcome::Failed;
    }
    if (replacing)
        removeTree(nativePath(outgoing));
    return replacing ? EngineInstallOutcome::Updated : EngineInstallOutcome::Installed;
}

void EngineInstaller::removeLeftovers() const
{
    const QFileInfo info(m_installedPath);
    const QDir folder(info.absolutePath());
    const QString prefix = QLatin1Char('.') + info.fileName();
    const QStringList entries = folder.entryList({prefix + QLatin1String(".*")},
                                                 QDir::AllEntries | QDir::Hidden | QDir::System
                                                     | QDir::NoDotAndDotDot);
    for (const QString &name : entries) {
        const QString rest = name.mid(prefix.size());
        if (rest.startsWith(kIncomingTag) || rest.startsWith(kOutgoingTag))
            removeTree(nativePath(folder.filePath(name)));
    }
}

} // namespace cv::configurator
