#include "PropertyList.h"

#include <QDateTime>
#include <QFile>
#include <QSaveFile>
#include <QTimeZone>
#include <plist/plist.h>

#include <cstdlib>
#include <memory>

namespace cv::platform {
namespace {

struct PlistDeleter {
    void operator()(plist_t p) const { if (p) plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// Seconds between 1970-01-01 and the property-list epoch 2001-01-01.
constexpr qint64 kPlistEpochOffset = 978307200;

std::optional<QVariant> toVariant(plist_t node, int depth);

std::optional<QVariant> toVariant(plist_t node, int depth)
{
    // Nesting deeper than any settings file needs is treated as damage.
    if (!node || depth > 64)
        return std::nullopt;
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return QVariant(b != 0);
    }
    case PLIST_UINT: {
        uint64_t v = 0;
        plist_get_uint_val(node, &v);
        return QVariant(static_cast<qlonglong>(v));
    }
    case PLIST_REAL: {
        double v = 0;
        plist_get_real_val(node, &v);
        return QVariant(v);
    }
    case PLIST_STRING: {
        // The pointer form: the copying getter asserts on embedded NULs,
        // which a damaged binary file can hold.
        uint64_t len = 0;
        const char *s = plist_get_string_ptr(node, &len);
        return QVariant(s ? QString::fromUtf8(s, static_cast<qsizetype>(len)) : QString());
    }
    case PLIST_DATA: {
        char *d = nullptr;
        uint64_t len = 0;
        plist_get_data_val(node, &d, &len);
        QByteArray value(d ? d : "", d ? static_cast<qsizetype>(len) : 0);
        if (d) free(d);
        return QVariant(value);
    }
    case PLIST_DATE: {
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        const qint64 ms = (static_cast<qint64>(sec) + kPlistEpochOffset) * 1000 + usec / 1000;
        return QVariant(QDateTime::fromMSecsSinceEpoch(ms, QTimeZone::utc()));
    }
    case PLIST_ARRAY: {
        QVariantList list;
        const uint32_t n = plist_array_get_size(node);
        for (uint32_t i = 0; i < n; ++i) {
            auto v = toVariant(plist_array_get_item(node, i), depth + 1);
            if (!v) return std::nullopt;
            list.append(*v);
        }
        return QVariant(list);
    }
    case PLIST_DICT: {
        QVariantMap map;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        if (!it) return QVariant(map);
        for (;;) {
            char *key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(node, it, &key, &value);
            if (!key) break;
            const QString k = QString::fromUtf8(key);
            free(key);
            auto v = toVariant(value, depth + 1);
            if (!v) { free(it); return std::nullopt; }
            map.insert(k, *v);
        }
        free(it);
        return QVariant(map);
    }
    default:
        return std::nullopt;
    }
}

plist_t fromVariant(const QVariant &value, int depth)
{
    if (depth > 64)
        return nullptr;
    switch (value.typeId()) {
    case QMetaType::Bool:
        return plist_new_bool(value.toBool() ? 1 : 0);
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return plist_new_uint(static_cast<uint64_t>(value.toLongLong()));
    case QMetaType::Double:
    case QMetaType::Float:
        return plist_new_real(value.toDouble());
    case QMetaType::QString:
        return plist_new_string(value.toString().toUtf8().constData());
    case QMetaType::QByteArray: {
        const QByteArray b = value.toByteArray();
        return plist_new_data(b.constData(), static_cast<uint64_t>(b.size()));
    }
    case QMetaType::QDateTime: {
        const qint64 ms = value.toDateTime().toMSecsSinceEpoch();
        const qint64 sec = ms / 1000 - kPlistEpochOffset;
        return plist_new_date(static_cast<int32_t>(sec), static_cast<int32_t>((ms % 1000) * 1000));
    }
    case QMetaType::QVariantList: {
        plist_t array = plist_new_array();
        for (const QVariant &item : value.toList()) {
            plist_t child = fromVariant(item, depth + 1);
            if (!child) { plist_free(array); return nullptr; }
            plist_array_append_item(array, child);
        }
        return array;
    }
    case QMetaType::QVariantMap: {
        const QVariantMap map = value.toMap();
        plist_t dict = plist_new_dict();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            plist_t child = fromVariant(it.value(), depth + 1);
            if (!child) { plist_free(dict); return nullptr; }
            plist_dict_set_item(dict, it.key().toUtf8().constData(), child);
        }
        return dict;
    }
    default:
        return nullptr;
    }
}

} // namespace

std::optional<QVariantMap> parseDictionary(const QByteArray &bytes)
{
    if (bytes.isEmpty() || bytes.size() > kMaxPropertyListBytes)
        return std::nullopt;
    plist_t root = nullptr;
    plist_from_memory(bytes.constData(), static_cast<uint32_t>(bytes.size()), &root);
    PlistPtr guard(root);
    if (!root || plist_get_node_type(root) != PLIST_DICT)
        return std::nullopt;
    auto v = toVariant(root, 0);
    if (!v)
        return std::nullopt;
    return v->toMap();
}

std::optional<QVariantMap> readDictionaryFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    // Read one byte past the limit so that an oversized file is told apart
    // from one of exactly the limit, without loading all of it.
    const QByteArray bytes = file.read(kMaxPropertyListBytes + 1);
    return parseDictionary(bytes);
}

QByteArray serializeXml(const QVariantMap &dictionary)
{
    PlistPtr root(fromVariant(QVariant(dictionary), 0));
    if (!root)
        return {};
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root.get(), &xml, &length);
    if (!xml)
        return {};
    QByteArray out(xml, static_cast<qsizetype>(length));
    plist_to_xml_free(xml);
    return out;
}

bool writeFileAtomically(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

bool writeDictionaryXmlAtomically(const QString &path, const QVariantMap &dictionary)
{
    const QByteArray xml = serializeXml(dictionary);
    if (xml.isEmpty())
        return false;
    return writeFileAtomically(path, xml);
}

} // namespace cv::platform
