#include "PropertyList.h"
#include "TestSupport.h"

#include <QDateTime>
#include <QDir>
#include <QPoint>
#include <QTimeZone>
#include <gtest/gtest.h>
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

    // A file far too large to be settings is refused without being parsed.
    const QString huge = home.file(QStringLiteral("huge.plist"));
    QByteArray big = good;
    big.append(QByteArray(kMaxPropertyListBytes, ' '));
    ASSERT_TRUE(cv::test::writeFile(huge, big));
    EXPECT_FALSE(readDictionaryFile(huge).has_value());

    // A folder where a file is expected.
    QDir().mkpath(home.file(QStringLiteral("dir.plist")));
    EXPECT_FALSE(readDictionaryFile(home.file(QStringLiteral("dir.plist"))).has_value());
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
