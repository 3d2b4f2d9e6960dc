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

// libplist recurses once per nesting level and has no limit of its own, so
// deeper input is refused before it reaches the parser.
inline constexpr int kMaxPropertyListDepth = 512;

// Parses XML (a leading UTF-8 byte-order mark is allowed) or binary bytes. No
// value for anything that is not a dictionary at the root, including empty,
// damaged, too large or too deeply nested input.
std::optional<QVariantMap> parseDictionary(const QByteArray &bytes);

// True when the bytes nest no deeper than kMaxPropertyListDepth (for XML by
// counting open and close tags, for binary by walking the object table), and
// binary objects named from many places would not unfold into more nodes than
// kMaxPropertyListBytes. Damaged structure that could hide either counts as
// beyond the limits.
bool propertyListWithinLimits(const QByteArray &bytes);

// Reads a whole file; no value when it is missing, not a regular file,
// unreadable, too large or not a dictionary. Never waits: a FIFO or a device
// in the file's place is refused at once. problem, when given, receives why
// there is no value, worded to follow the file's name ("does not exist").
std::optional<QVariantMap> readDictionaryFile(const QString &path, QString *problem = nullptr);

// XML serialisation; an empty result means the dictionary held something
// that a property list cannot carry.
QByteArray serializeXml(const QVariantMap &dictionary);

// Writes the bytes through a temporary file in the same folder, then renames
// it over the target. False when anything failed; the old file then stays,
// and error, when given, receives the reason.
bool writeFileAtomically(const QString &path, const QByteArray &bytes, QString *error = nullptr);

// When path holds a non-empty file that does not read as a dictionary, renames
// it to "<path>.unreadable-YYYYMMDD-HHMMSS" (local time; "-2", "-3"... added
// when that name is taken) and logs one line naming both paths, so a rewrite
// never destroys settings this program could not understand. True when nothing
// had to move or the move succeeded.
bool setAsideUnreadablePropertyList(const QString &path);

// serializeXml + setAsideUnreadablePropertyList + writeFileAtomically; nothing
// is written when serialisation fails or an unreadable file could not be moved.
bool writeDictionaryXmlAtomically(const QString &path, const QVariantMap &dictionary);

} // namespace cv::platform
