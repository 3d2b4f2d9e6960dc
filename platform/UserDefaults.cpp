#include "UserDefaults.h"

#include "Log.h"
#include "PropertyList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace cv::platform {

UserDefaults::UserDefaults(QString path)
    : m_path(std::move(path))
{
    m_values = readFile(false);
}

QVariantMap UserDefaults::readFile(bool logDamage) const
{
    if (!QFileInfo::exists(m_path))
        return {};
    // Never blocks on a FIFO or a device in the file's place.
    const auto dict = readDictionaryFile(m_path);
    if (!dict) {
        // Left on disk as it is; the next save moves it aside before writing
        // (see setAsideUnreadablePropertyList), so nothing in it is lost.
        if (logDamage)
            NSLog(QStringLiteral("Could not read the settings file '%1'; using empty settings.").arg(m_path));
        return {};
    }
    return *dict;
}

bool UserDefaults::hasKey(const QString &key) const { return m_values.contains(key); }
QVariant UserDefaults::value(const QString &key) const { return m_values.value(key); }

QString UserDefaults::string(const QString &key, const QString &fallback) const
{
    const QVariant v = m_values.value(key);
    return v.typeId() == QMetaType::QString ? v.toString() : fallback;
}

qlonglong UserDefaults::integer(const QString &key, qlonglong fallback) const
{
    const QVariant v = m_values.value(key);
    switch (v.typeId()) {
    case QMetaType::LongLong:
    case QMetaType::Int:
    case QMetaType::Bool:
        return v.toLongLong();
    case QMetaType::Double:
        return static_cast<qlonglong>(v.toDouble());
    case QMetaType::QString: {
        bool ok = false;
        const qlonglong n = v.toString().trimmed().toLongLong(&ok);
        return ok ? n : fallback;
    }
    default:
        return fallback;
    }
}

bool UserDefaults::boolean(const QString &key, bool fallback) const
{
    const QVariant v = m_values.value(key);
    switch (v.typeId()) {
    case QMetaType::Bool:
        return v.toBool();
    case QMetaType::LongLong:
    case QMetaType::Int:
    case QMetaType::Double:
        return v.toDouble() != 0.0;
    case QMetaType::QString: {
        const QString s = v.toString().trimmed().toLower();
        if (s == QLatin1String("yes") || s == QLatin1String("true") || s == QLatin1String("1")) return true;
        if (s == QLatin1String("no") || s == QLatin1String("false") || s == QLatin1String("0")) return false;
        return fallback;
    }
    default:
        return fallback;
    }
}

QByteArray UserDefaults::data(const QString &key) const
{
    const QVariant v = m_values.value(key);
    return v.typeId() == QMetaType::QByteArray ? v.toByteArray() : QByteArray();
}

void UserDefaults::set(const QString &key, const QVariant &value)
{
    m_values.insert(key, value);
    m_changed.insert(key, value);
    m_removed.remove(key);
}

void UserDefaults::setString(const QString &key, const QString &value) { set(key, value); }
void UserDefaults::setInteger(const QString &key, qlonglong value) { set(key, value); }
void UserDefaults::setBoolean(const QString &key, bool value) { set(key, value); }
void UserDefaults::setData(const QString &key, const QByteArray &value) { set(key, value); }

void UserDefaults::remove(const QString &key)
{
    m_values.remove(key);
    m_changed.remove(key);
    m_removed.insert(key);
}

void UserDefaults::reload()
{
    merge(readFile(true));
}

void UserDefaults::restore(const Snapshot &snapshot)
{
    m_values = snapshot.values;
    m_changed = snapshot.changed;
    m_removed = snapshot.removed;
}

void UserDefaults::merge(QVariantMap fresh)
{
    for (const QString &key : m_removed)
        fresh.remove(key);
    for (auto it = m_changed.cbegin(); it != m_changed.cend(); ++it)
        fresh.insert(it.key(), it.value());
    m_values = fresh;
}

Result<> UserDefaults::synchronize()
{
    merge(readFile(false));
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    const Result<> written = write(serializeXml(m_values));
    if (!written) {
        NSLog(QStringLiteral("Could not save the settings file '%1': %2").arg(m_path, written.reason()));
        return written;
    }
    m_changed.clear();
    m_removed.clear();
    return {};
}

Result<> UserDefaults::write(const QByteArray &xml)
{
    if (xml.isEmpty())
        return fail(QStringLiteral("The settings hold a value that cannot be stored."));
    if (!setAsideUnreadablePropertyList(m_path))
        return fail(QStringLiteral("The file there could not be read and could not be moved aside."));
    QSaveFile file(m_path);
    if (file.open(QIODevice::WriteOnly) && file.write(xml) == xml.size() && file.commit())
        return {};
    const QString problem = file.errorString();
    return fail(problem.isEmpty() ? QStringLiteral("The file could not be written.") : problem);
}

} // namespace cv::platform
