#include "PropertyList.h"

#include "Log.h"
#include "Result.h"
#include "UniqueFd.h"

#include <QDateTime>
#include <QFile>
#include <QSaveFile>
#include <QTimeZone>
#include <plist/plist.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace cv::platform {
namespace {

struct PlistDeleter {
    void operator()(plist_t p) const { if (p) plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// Seconds between 1970-01-01 and the property-list epoch 2001-01-01.
constexpr qint64 kPlistEpochOffset = 978307200;

std::optional<QVariant> toVariant(plist_t node, int depth);

std::optional<QVariant> arrayToVariant(plist_t node, int depth)
{
    QVariantList list;
    const uint32_t n = plist_array_get_size(node);
    for (uint32_t i = 0; i < n; ++i) {
        auto v = toVariant(plist_array_get_item(node, i), depth + 1);
        if (!v) return std::nullopt;
        list.append(*v);
    }
    return QVariant(list);
}

std::optional<QVariant> dictionaryToVariant(plist_t node, int depth)
{
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

// A string, data or date node; no value for any other.
std::optional<QVariant> textToVariant(plist_t node)
{
    switch (plist_get_node_type(node)) {
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
    default:
        return std::nullopt;
    }
}

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
    case PLIST_ARRAY:
        return arrayToVariant(node, depth);
    case PLIST_DICT:
        return dictionaryToVariant(node, depth);
    default:
        return textToVariant(node);
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

constexpr char kBinaryMagic[] = "bplist00"; // what libplist takes for binary
constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

bool isBinary(const QByteArray &bytes)
{
    return bytes.startsWith(kBinaryMagic);
}

// The end of the markup that starts at "from" (the index just past '>'), or -1.
// The tag must end at its first '>' whether or not quotes are honoured, and
// hold no '<': where a reader could see the tag end elsewhere than we do, tags
// could hide from the count, so such input counts as damaged.
qsizetype unambiguousTagEnd(const QByteArray &bytes, qsizetype from)
{
    const qsizetype end = bytes.indexOf('>', from);
    if (end < 0)
        return -1;
    char quote = 0;
    for (qsizetype i = from; i < end; ++i) {
        const char c = bytes[i];
        if (quote) {
            if (c == quote)
                quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '<') {
            return -1;
        }
    }
    return quote ? -1 : end + 1;
}

qsizetype pastMarker(const QByteArray &bytes, qsizetype from, const char *marker)
{
    const qsizetype at = bytes.indexOf(marker, from);
    return at < 0 ? -1 : at + static_cast<qsizetype>(std::strlen(marker));
}

// One pass over the tags; comments, processing instructions and character data
// are skipped the way an XML reader skips them.
bool xmlDepthWithinLimit(const QByteArray &bytes)
{
    const qsizetype n = bytes.size();
    int depth = 0;
    qsizetype i = 0;
    for (;;) {
        i = bytes.indexOf('<', i);
        if (i < 0 || i + 1 >= n)
            return true;
        const char next = bytes[i + 1];
        const QByteArrayView rest = QByteArrayView(bytes).sliced(i);
        // Every branch moves i past the markup or gives up.
        if (rest.startsWith("<!--")) {
            i = pastMarker(bytes, i + 4, "-->");
        } else if (rest.startsWith("<![CDATA[")) {
            i = pastMarker(bytes, i + 9, "]]>");
        } else if (rest.startsWith("<!DOCTYPE")) {
            // An internal subset could hold anything; settings never have one.
            const qsizetype end = unambiguousTagEnd(bytes, i + 1);
            if (end < 0 || rest.first(end - i).contains('['))
                return false;
            i = end;
        } else if (next == '!') {
            return false;
        } else if (next == '?') {
            i = pastMarker(bytes, i + 2, "?>");
        } else if (next == '/') {
            if (--depth < 0)
                return false;
            i = unambiguousTagEnd(bytes, i + 1);
        } else {
            const qsizetype end = unambiguousTagEnd(bytes, i + 1);
            if (end < 0)
                return false;
            if (bytes[end - 2] != '/' && ++depth > kMaxPropertyListDepth)
                return false;
            i = end;
        }
        if (i < 0)
            return false;
    }
}

// Big-endian unsigned integer of 1 to 8 bytes.
quint64 readBigEndian(const uchar *p, int size)
{
    quint64 v = 0;
    for (int i = 0; i < size; ++i)
        v = (v << 8) | p[i];
    return v;
}

// Where a binary list's object table lies and how wide its numbers are, as
// its trailer says; no value when the trailer cannot be right.
struct BinaryLayout {
    const uchar *data = nullptr;
    int offsetSize = 0;
    int refSize = 0;
    quint64 objectCount = 0;
    quint64 root = 0;
    quint64 tableOffset = 0;

    quint64 offsetOf(quint64 object) const
    {
        return readBigEndian(data + tableOffset + object * offsetSize, offsetSize);
    }
    quint64 refAt(quint64 position, quint64 index) const
    {
        return readBigEndian(data + position + index * refSize, refSize);
    }
};

std::optional<BinaryLayout> binaryLayout(const QByteArray &bytes)
{
    constexpr qsizetype kTrailer = 32;
    const qsizetype size = bytes.size();
    if (size < 8 + kTrailer)
        return std::nullopt;
    BinaryLayout layout;
    layout.data = reinterpret_cast<const uchar *>(bytes.constData());
    const uchar *trailer = layout.data + size - kTrailer;
    layout.offsetSize = trailer[6];
    layout.refSize = trailer[7];
    layout.objectCount = readBigEndian(trailer + 8, 8);
    layout.root = readBigEndian(trailer + 16, 8);
    layout.tableOffset = readBigEndian(trailer + 24, 8);
    const quint64 tableEnd = static_cast<quint64>(size - kTrailer);
    if (layout.offsetSize < 1 || layout.offsetSize > 8 || layout.refSize < 1 || layout.refSize > 8
        || layout.objectCount == 0 || layout.root >= layout.objectCount || layout.tableOffset < 8
        || layout.tableOffset > tableEnd
        || layout.objectCount > (tableEnd - layout.tableOffset) / static_cast<quint64>(layout.offsetSize))
        return std::nullopt;
    return layout;
}

// The references an array, set or dictionary holds.
struct Container {
    quint64 refs = 0;  // position of the first reference
    quint64 count = 0; // number of references
};

// What an object is to the walk: damaged, plain (it names nothing), or a
// container.
struct ObjectLook {
    bool damaged = false;
    std::optional<Container> container;
};

ObjectLook damagedObject() { return {true, std::nullopt}; }

// A container's count of 15 or more follows its marker as an integer object
// of 2^k bytes; `refs` moves past it.
std::optional<quint64> extendedCount(const BinaryLayout &layout, quint64 &refs)
{
    const uchar *data = layout.data;
    if (refs >= layout.tableOffset || (data[refs] >> 4) != 0x1 || (data[refs] & 0x0F) > 3)
        return std::nullopt;
    const int width = 1 << (data[refs] & 0x0F);
    if (refs + 1 + width > layout.tableOffset)
        return std::nullopt;
    const quint64 count = readBigEndian(data + refs + 1, width);
    refs += 1 + width;
    return count;
}

ObjectLook lookAt(const BinaryLayout &layout, quint64 object)
{
    const quint64 offset = layout.offsetOf(object);
    if (offset < 8 || offset >= layout.tableOffset)
        return damagedObject();
    const uchar marker = layout.data[offset];
    const int type = marker >> 4;
    if (type != 0xA && type != 0xC && type != 0xD)
        return {};
    quint64 count = marker & 0x0F;
    quint64 refs = offset + 1;
    if (count == 0x0F) {
        const std::optional<quint64> extended = extendedCount(layout, refs);
        if (!extended)
            return damagedObject();
        count = *extended;
    }
    if (type == 0xD) {
        if (count > layout.tableOffset)
            return damagedObject();
        count *= 2; // keys, then values
    }
    if (count > (layout.tableOffset - refs) / static_cast<quint64>(layout.refSize))
        return damagedObject();
    return {false, Container{refs, count}};
}

// Walks the object table from the root without recursion, remembering the
// height and unfolded size of every container already seen, so shared objects
// are walked once and a cycle is found. libplist copies a shared object at each
// place that names it, so a few kilobytes of containers naming their child
// twice would unfold into billions of nodes: more nodes than a file of the size
// limit could hold without sharing count as damage. So does anything out of
// bounds; libplist would refuse it anyway.
class ObjectWalk
{
public:
    explicit ObjectWalk(const BinaryLayout &layout)
        : m_layout(layout)
        , m_state(layout.objectCount, Unseen)
        , m_height(layout.objectCount, 0)
        , m_unfolded(layout.objectCount, 0)
    {
    }

    bool withinLimits()
    {
        if (!enter(m_layout.root))
            return false;
        while (!m_path.empty()) {
            Frame &frame = m_path.back();
            const bool ok = frame.next == frame.container.count ? finishTop() : visitNextChild(frame);
            if (!ok)
                return false;
        }
        return m_height[m_layout.root] <= kMaxPropertyListDepth;
    }

private:
    enum : uchar { Unseen, Open, Done };
    static constexpr quint64 kMaxNodes = kMaxPropertyListBytes;
    struct Frame {
        quint64 object;
        Container container;
        quint64 next = 0;
        int tallestChild = 0;
        quint64 nodesBelow = 0;
    };

    // Goes down into a container; a plain object is done at once.
    bool enter(quint64 object)
    {
        const ObjectLook look = lookAt(m_layout, object);
        if (look.damaged)
            return false;
        if (!look.container) {
            finish(object, 1, 1);
            return true;
        }
        if (static_cast<int>(m_path.size()) + 1 > kMaxPropertyListDepth)
            return false;
        m_state[object] = Open;
        m_path.push_back(Frame{object, *look.container});
        return true;
    }

    void finish(quint64 object, int height, quint64 nodes)
    {
        m_state[object] = Done;
        m_height[object] = static_cast<quint16>(height);
        m_unfolded[object] = static_cast<quint32>(nodes);
    }

    // The container on top has had all its children: it is done, and counts
    // in the one that named it.
    bool finishTop()
    {
        const Frame frame = m_path.back();
        m_path.pop_back();
        finish(frame.object, frame.tallestChild + 1, frame.nodesBelow + 1);
        return m_path.empty() || addToTop(frame.object);
    }

    bool visitNextChild(Frame &frame)
    {
        const quint64 child = m_layout.refAt(frame.container.refs, frame.next);
        ++frame.next;
        if (child >= m_layout.objectCount || m_state[child] == Open) // out of bounds, or a cycle
            return false;
        if (m_state[child] == Unseen) {
            const size_t before = m_path.size();
            if (!enter(child))
                return false;
            if (m_path.size() > before)
                return true; // went down into it
        }
        // A plain object, or a shared container seen before: its height is known.
        if (static_cast<int>(m_path.size()) + m_height[child] > kMaxPropertyListDepth)
            return false;
        return addToTop(child);
    }

    bool addToTop(quint64 child)
    {
        Frame &top = m_path.back();
        top.tallestChild = std::max(top.tallestChild, static_cast<int>(m_height[child]));
        return (top.nodesBelow += m_unfolded[child]) < kMaxNodes;
    }

    const BinaryLayout &m_layout;
    std::vector<uchar> m_state;
    std::vector<quint16> m_height;   // levels at and below a finished object
    std::vector<quint32> m_unfolded; // nodes it becomes in the parsed tree
    std::vector<Frame> m_path;
};

bool binaryWithinLimits(const QByteArray &bytes)
{
    const std::optional<BinaryLayout> layout = binaryLayout(bytes);
    return layout && ObjectWalk(*layout).withinLimits();
}

} // namespace

bool propertyListWithinLimits(const QByteArray &bytes)
{
    return isBinary(bytes) ? binaryWithinLimits(bytes) : xmlDepthWithinLimit(bytes);
}

std::optional<QVariantMap> parseDictionary(const QByteArray &input)
{
    if (input.isEmpty() || input.size() > kMaxPropertyListBytes)
        return std::nullopt;
    // Editors on some systems start UTF-8 text with a byte-order mark, which
    // libplist does not skip itself.
    const QByteArray bytes = input.startsWith(kUtf8Bom) ? input.sliced(3) : input;
    if (bytes.isEmpty() || !propertyListWithinLimits(bytes))
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

namespace {

// The whole of a regular file of at most kMaxPropertyListBytes, or why not,
// worded to follow the file's name. Never blocks: a FIFO or a device in the
// file's place would otherwise hold the program at the open or the read for good.
Result<QByteArray> readSettingsBytes(const QString &path)
{
    const UniqueFd fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd)
        return fail(errno == ENOENT ? QStringLiteral("does not exist")
                                    : QStringLiteral("could not be opened: %1").arg(errnoText(errno)));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return fail(QStringLiteral("is not a regular file"));
    // One byte past the limit tells an oversized file apart from one of
    // exactly the limit, without loading all of it.
    QByteArray bytes;
    bytes.reserve(static_cast<qsizetype>(std::min<qint64>(st.st_size, kMaxPropertyListBytes) + 1));
    char buffer[64 * 1024];
    while (bytes.size() <= kMaxPropertyListBytes) {
        const size_t wanted = static_cast<size_t>(std::min<qint64>(sizeof buffer, kMaxPropertyListBytes + 1 - bytes.size()));
        const ssize_t n = ::read(fd.get(), buffer, wanted);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail(QStringLiteral("could not be read: %1").arg(errnoText(errno)));
        if (n == 0)
            break;
        bytes.append(buffer, n);
    }
    if (bytes.size() > kMaxPropertyListBytes)
        return fail(QStringLiteral("is too large to be a settings file"));
    return bytes;
}

} // namespace

std::optional<QVariantMap> readDictionaryFile(const QString &path, QString *problem)
{
    const Result<QByteArray> bytes = readSettingsBytes(path);
    std::optional<QVariantMap> dictionary = bytes ? parseDictionary(*bytes) : std::nullopt;
    if (!dictionary && problem)
        *problem = bytes ? QStringLiteral("is not a property list holding a dictionary") : bytes.reason();
    return dictionary;
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

bool writeFileAtomically(const QString &path, const QByteArray &bytes, QString *error)
{
    QSaveFile file(path);
    const auto fail = [&file, error] {
        if (error)
            *error = file.errorString();
        file.cancelWriting();
        return false;
    };
    if (!file.open(QIODevice::WriteOnly))
        return fail();
    if (file.write(bytes) != bytes.size())
        return fail();
    if (!file.commit()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}

bool setAsideUnreadablePropertyList(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    // Missing, a folder or an empty file: nothing that could be lost.
    if (::stat(native.constData(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0)
        return true;
    if (readDictionaryFile(path))
        return true;
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    const QString base = path + QStringLiteral(".unreadable-") + stamp;
    for (int attempt = 1; attempt <= 100; ++attempt) {
        const QString aside = attempt == 1 ? base : base + QStringLiteral("-%1").arg(attempt);
        const QByteArray target = QFile::encodeName(aside);
        // Never over an earlier copy set aside in the same second.
        int moved = ::renameat2(AT_FDCWD, native.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE);
        if (moved != 0 && errno == EINVAL) {
            // A file system without no-replace renames.
            struct stat taken {};
            if (::lstat(target.constData(), &taken) == 0) {
                errno = EEXIST;
            } else {
                moved = ::rename(native.constData(), target.constData());
            }
        }
        if (moved == 0) {
            NSLog(QStringLiteral("Could not read '%1'; moved it to '%2' before writing a new one.").arg(path, aside));
            return true;
        }
        if (errno != EEXIST)
            break;
    }
    NSLog(QStringLiteral("Could not read '%1' and could not move it aside (%2); left it unchanged.")
              .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    return false;
}

bool writeDictionaryXmlAtomically(const QString &path, const QVariantMap &dictionary)
{
    const QByteArray xml = serializeXml(dictionary);
    if (xml.isEmpty())
        return false;
    if (!setAsideUnreadablePropertyList(path))
        return false;
    return writeFileAtomically(path, xml);
}

} // namespace cv::platform
