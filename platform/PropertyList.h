#pragma once
// Property lists over libplist. Values map to QVariant: string -> QString,
// integer -> qlonglong, real -> double, boolean -> bool, data -> QByteArray,
// date -> QDateTime, array -> QVariantList, dictionary -> QVariantMap.

#include <QByteArray>
#include <QString>
#include <QVariantMap>
#include <optional>

namespace cv::platform {

// Anything larger cannot be a settings file; refusing it keeps a stray huge
// file from being loaded into memory.
inline constexpr qint64 kMaxPropertyListBytes = 16 * 1024 * 1024;

// Parses XML or binary bytes. No value for anything that is not a dictionary
// at the root, including empty or damaged input.
std::optional<QVariantMap> parseDictionary(const QByteArray &bytes);

// Reads a whole file; no value when it is missing, unreadable, too large or
// not a dictionary.
std::optional<QVariantMap> readDictionaryFile(const QString &path);

// XML serialisation; an empty result means the dictionary held something
// that a property list cannot carry.
QByteArray serializeXml(const QVariantMap &dictionary);

// Writes the bytes through a temporary file in the same folder, then renames
// it over the target. False when anything failed; the old file then stays.
bool writeFileAtomically(const QString &path, const QByteArray &bytes);

// serializeXml + writeFileAtomically; nothing is written when serialisation fails.
bool writeDictionaryXmlAtomically(const QString &path, const QVariantMap &dictionary);

} // namespace cv::platform
