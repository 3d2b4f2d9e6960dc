#include "PropertyList.h"
#include "TestSupport.h"

#include <QDateTime>
#include <QDir>
#include <QPoint>
#include <QTimeZone>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <plist/plist.h>

#include <cstdlib>

using namespace cv::platform;

namespace {

QVariantMap sampleDictionary()
{
    QVariantMap nested;
    nested.insert(QStringLiteral("inner"), QStringLiteral("value"));
    QVariantMap d;
    d.insert(QStringLiteral("Destination"), QStringLiteral("/Volumes/Backup Disk/Mail (old) \"q\" $x"));
    d.insert(QStringLiteral("Client"), QStringLiteral("Thunderbird"));
    d.insert(QStringLiteral("Relaunch Client"), 1LL);
    d.insert(QStringLiteral("flag"), true);
    d.insert(QStringLiteral("ratio"), 0.25);
    d.insert(QStringLiteral("blob"), QByteArray("\x00\x01\xff", 3));
    d.insert(QStringLiteral("unicode"), QStringLiteral("Ünïcødé ✓"));
    d.insert(QStringLiteral("when"), QDateTime(QDate(2024, 2, 29), QTime(12, 30, 15), QTimeZone::utc()));
    d.insert(QStringLiteral("list"), QVariantList{1LL, QStringLiteral("two")});
    d.insert(QStringLiteral("nested"), nested);
    return d;
}

QByteArray toBinary(const QByteArray &xml)
{
    plist_t root = nullptr;
    plist_from_xml(xml.constData(), static_cast<uint32_t>(xml.size()), &root);
    char *bin = nullptr;
    uint32_t len = 0;
    plist_to_bin(root, &bin, &len);
    QByteArray out(bin, static_cast<qsizetype>(len));
    free(bin);
    plist_free(root);
    return out;
}

} // namespace

TEST(PropertyList, XmlAndBinaryRoundTripKeepEveryValueType)
{
    cv::test::ScopedHome home;
    const QVariantMap original = sampleDictionary();
    const QString path = home.file(QStringLiteral("a.plist"));
    ASSERT_TRUE(writeDictionaryXmlAtomically(path, original));

    const QByteArray xml = cv::test::readFile(path);
    EXPECT_TRUE(xml.startsWith("<?xml"));
    auto fromXml = readDictionaryFile(path);
    ASSERT_TRUE(fromXml.has_value());
    EXPECT_EQ(*fromXml, original);

    auto fromBinary = parseDictionary(toBinary(xml));
    ASSERT_TRUE(fromBinary.has_value());
    EXPECT_EQ(*fromBinary, original);
}

TEST(PropertyList, DamagedOrForeignInputReadsAsNoDictionary)
{
    cv::test::ScopedHome home;
    const QByteArray good = serializeXml(sampleDictionary());
    const QByteArray binary = toBinary(good);

    EXPECT_FALSE(readDictionaryFile(home.file(QStringLiteral("missing.plist"))).has_value());
    EXPECT_FALSE(parseDictionary(QByteArray()).has_value());
    EXPECT_FALSE(parseDictionary("not a property list at all").has_value());
    EXPECT_FALSE(parseDictionary(QByteArray(4096, '\0')).has_value());
    // Root of the wrong type.
    EXPECT_FALSE(parseDictionary(serializeXml({}).replace("<dict/>", "<array><string>x</string></array>")).has_value());
    EXPECT_FALSE(parseDictionary("<?xml version=\"1.0\"?><plist version=\"1.0\"><string>x</string></plist>").has_value());

    // Every truncation of both encodings is harmless.
    for (const QByteArray &full : {good, binary}) {
        for (qsizetype n = 0; n < full.size(); n += 7) {
            auto r = parseDictionary(full.left(n));
            if (r) {
                EXPECT_LE(r->size(), sampleDictionary().size());
            }
        }
    }
    // Bytes flipped in the binary form.
    for (qsizetype i = 0; i < binary.size(); ++i) {
        QByteArray damaged = binary;
        damaged[i] = static_cast<char>(damaged[i] ^ 0x5a);
        (void)parseDictionary(damaged);
    }

    // A folder, a FIFO (nobody writes to it: a blocking open would wait for
    // good) or a device where a file is expected: refused at once, saying so.
    QDir().mkpath(home.file(QStringLiteral("dir.plist")));
    const QString fifo = home.file(QStringLiteral("fifo.plist"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    for (const QString &path : {home.file(QStringLiteral("dir.plist")), fifo, QStringLiteral("/dev/zero")}) {
        QString problem;
        EXPECT_FALSE(readDictionaryFile(path, &problem).has_value()) << path.toStdString();
        EXPECT_EQ(problem, QStringLiteral("is not a regular file")) << path.toStdString();
    }
}

TEST(PropertyList, AtomicWriteLeavesOldFileWhenFolderIsMissingOrValueUnsupported)
{
    cv::test::ScopedHome home;
    EXPECT_FALSE(writeDictionaryXmlAtomically(home.file(QStringLiteral("no/such/folder/x.plist")), sampleDictionary()));

    const QString path = home.file(QStringLiteral("keep.plist"));
    ASSERT_TRUE(writeDictionaryXmlAtomically(path, sampleDictionary()));
    QVariantMap bad;
    bad.insert(QStringLiteral("unsupported"), QVariant::fromValue(QPoint(1, 2)));
    EXPECT_FALSE(writeDictionaryXmlAtomically(path, bad));
    EXPECT_EQ(*readDictionaryFile(path), sampleDictionary());
    // No temporary files are left next to the target.
    EXPECT_EQ(QDir(home.path()).entryList(QDir::Files), QStringList{QStringLiteral("keep.plist")});
}

namespace {

// An XML dictionary whose value under "a" is nested `levels` deep, counting
// the <plist> element.
QByteArray nestedXml(int levels)
{
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>a</key>";
    for (int i = 2; i < levels; ++i)
        xml += "<array>";
    xml += "<array/>";
    for (int i = 2; i < levels; ++i)
        xml += "</array>";
    return xml + "</dict></plist>\n";
}

void appendBigEndian(QByteArray &out, quint64 value, int size)
{
    for (int i = size - 1; i >= 0; --i)
        out += static_cast<char>((value >> (8 * i)) & 0xff);
}

// A binary dictionary {"a": [[[...]]]} with `levels` containers on its
// deepest path. With `shareChild`, every array names its child twice.
QByteArray nestedBinary(int levels, bool shareChild = false)
{
    constexpr int kRef = 4;
    const int objects = levels + 1; // the dictionary, its key, levels - 1 arrays
    QByteArray out = "bplist00";
    QList<quint64> offsets;
    offsets += out.size(); // 0: {"a": 2}
    out += '\xd1';
    appendBigEndian(out, 1, kRef);
    appendBigEndian(out, 2, kRef);
    offsets += out.size(); // 1: "a"
    out += "\x51" "a";
    for (int object = 2; object < objects; ++object) {
        offsets += out.size();
        if (object + 1 == objects) {
            out += '\xa0'; // the innermost array is empty
            continue;
        }
        const int refs = shareChild ? 2 : 1;
        out += static_cast<char>(0xa0 | refs);
        for (int r = 0; r < refs; ++r)
            appendBigEndian(out, static_cast<quint64>(object + 1), kRef);
    }
    const quint64 table = static_cast<quint64>(out.size());
    for (quint64 offset : offsets)
        appendBigEndian(out, offset, kRef);
    out += QByteArray(6, '\0');
    out += static_cast<char>(kRef);
    out += static_cast<char>(kRef);
    appendBigEndian(out, static_cast<quint64>(objects), 8);
    appendBigEndian(out, 0, 8);
    appendBigEndian(out, table, 8);
    return out;
}

} // namespace

TEST(PropertyList, DeepNestingIsRefusedBeforeTheParserRecursesIntoIt)
{
    cv::test::ScopedHome home;
    // Far beyond what the parser's stack survives.
    const QString deepXml = home.file(QStringLiteral("deep.plist"));
    ASSERT_TRUE(cv::test::writeFile(deepXml, nestedXml(200000)));
    EXPECT_FALSE(readDictionaryFile(deepXml).has_value());
    EXPECT_FALSE(parseDictionary(nestedBinary(200000)).has_value());

    // The limit itself, in both encodings: a settings reader, not libplist,
    // decides where deep input ends.
    EXPECT_TRUE(propertyListWithinLimits(nestedXml(kMaxPropertyListDepth)));
    EXPECT_FALSE(propertyListWithinLimits(nestedXml(kMaxPropertyListDepth + 1)));
    EXPECT_TRUE(propertyListWithinLimits(nestedBinary(kMaxPropertyListDepth)));
    EXPECT_FALSE(propertyListWithinLimits(nestedBinary(kMaxPropertyListDepth + 1)));
    // Shallow hand-built files still parse, so the walk reads the table right.
    EXPECT_TRUE(parseDictionary(nestedBinary(4)).has_value());
    EXPECT_TRUE(parseDictionary(nestedXml(4)).has_value());

    // A child named twice by every level: its depth still counts, and 2^k
    // copies of it are refused before the parser makes them.
    EXPECT_TRUE(propertyListWithinLimits(nestedBinary(12, true)));
    EXPECT_FALSE(propertyListWithinLimits(nestedBinary(kMaxPropertyListDepth + 1, true)));
    EXPECT_FALSE(parseDictionary(nestedBinary(40, true)).has_value());
    // An array that holds itself.
    QByteArray cycle = nestedBinary(4);
    cycle[cycle.indexOf('\xa1') + 4] = 2;
    EXPECT_FALSE(propertyListWithinLimits(cycle));
}

TEST(PropertyList, TagsHiddenFromTheDepthCountAreRefused)
{
    const QByteArray open = QByteArray("<array>").repeated(400);
    const QByteArray close = QByteArray("</array>").repeated(400);
    const QByteArray head = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key>";
    // Closing tags inside a comment, a processing instruction or character
    // data close nothing.
    for (const QByteArray &hiding : {QByteArray("<!--") + close + "-->", QByteArray("<?x ") + close + "?>",
                                     QByteArray("<string><![CDATA[") + close + "]]></string>"})
        EXPECT_FALSE(propertyListWithinLimits(head + open + hiding + open)) << hiding.left(20).constData();
    // Markup whose end a reader could place elsewhere than the count does.
    EXPECT_FALSE(propertyListWithinLimits(head + "<array x=\"/>\">" + open));
    EXPECT_FALSE(propertyListWithinLimits("<!DOCTYPE plist [" + close + "]>" + head + open + open));
    // Text that merely looks like markup is harmless.
    auto text = parseDictionary(head + "<string>a &lt; b &gt; c</string></dict></plist>");
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(text->value(QStringLiteral("a")), QVariant(QStringLiteral("a < b > c")));
}

TEST(PropertyList, SizeLimitHoldsAtItsExactBoundaryAndAByteOrderMarkIsSkipped)
{
    cv::test::ScopedHome home;
    const QByteArray xml = serializeXml(sampleDictionary());
    const qsizetype close = xml.lastIndexOf("</dict>");
    const auto padded = [&](qsizetype total) {
        QByteArray out = xml;
        out.insert(close, QByteArray(total - xml.size(), ' '));
        return out;
    };
    const QString atLimit = home.file(QStringLiteral("limit.plist"));
    ASSERT_TRUE(cv::test::writeFile(atLimit, padded(kMaxPropertyListBytes)));
    auto read = readDictionaryFile(atLimit);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(*read, sampleDictionary());
    const QString over = home.file(QStringLiteral("over.plist"));
    ASSERT_TRUE(cv::test::writeFile(over, padded(kMaxPropertyListBytes + 1)));
    EXPECT_FALSE(readDictionaryFile(over).has_value());
    EXPECT_FALSE(parseDictionary(padded(kMaxPropertyListBytes + 1)).has_value());

    auto withMark = parseDictionary("\xEF\xBB\xBF" + xml);
    ASSERT_TRUE(withMark.has_value());
    EXPECT_EQ(*withMark, sampleDictionary());
    EXPECT_FALSE(parseDictionary("\xEF\xBB\xBF").has_value());
}
