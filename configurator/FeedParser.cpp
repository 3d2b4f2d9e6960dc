#include "FeedParser.h"

#include <QXmlStreamReader>

#include <limits>

namespace cv::configurator {
namespace {

const QString kBuildAttribute = QStringLiteral("version");
const QString kDisplayAttribute = QStringLiteral("shortVersionString");

// First attribute with the local name, in any namespace or none.
QStringView attributeByLocalName(const QXmlStreamAttributes &attributes, const QString &localName)
{
    for (const auto &attribute : attributes) {
        if (attribute.name() == localName)
            return attribute.value();
    }
    return {};
}

std::optional<FeedEntry> entryFromEnclosure(const QXmlStreamAttributes &attributes, const QUrl &baseUrl)
{
    const auto build = leadingBuildNumber(attributeByLocalName(attributes, kBuildAttribute));
    if (!build)
        return std::nullopt;
    // RSS keeps url without a namespace.
    const QUrl url = baseUrl.resolved(QUrl(attributes.value(QString(), QStringLiteral("url")).trimmed().toString()));
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return std::nullopt;
    FeedEntry entry;
    entry.build = *build;
    entry.displayVersion = attributeByLocalName(attributes, kDisplayAttribute).trimmed().toString();
    if (entry.displayVersion.isEmpty())
        entry.displayVersion = QString::number(*build);
    entry.downloadUrl = url;
    return entry;
}

} // namespace

std::optional<qlonglong> leadingBuildNumber(QStringView text)
{
    text = text.trimmed();
    qsizetype digits = 0;
    while (digits < text.size() && text[digits] >= u'0' && text[digits] <= u'9')
        ++digits;
    if (digits == 0)
        return std::nullopt;
    bool ok = false;
    const qlonglong value = text.left(digits).toLongLong(&ok);
    return ok ? value : std::numeric_limits<qlonglong>::max();
}

FeedParseResult parseFeed(const QByteArray &document, const QUrl &baseUrl)
{
    FeedParseResult result;
    QXmlStreamReader xml(document);
    bool sawRss = false;
    bool sawChannel = false;
    int itemDepth = 0; // >0 while inside an <item>

    while (!xml.atEnd()) {
        const auto token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            // RSS 2.0 elements have no namespace.
            const bool plain = xml.namespaceUri().isEmpty();
            const auto name = xml.name();
            if (!sawRss) {
                if (!plain || name != QLatin1String("rss")) {
                    result.error = QStringLiteral("The update feed is not an RSS document.");
                    return result;
                }
                sawRss = true;
            } else if (plain && name == QLatin1String("channel")) {
                sawChannel = true;
            } else if (plain && name == QLatin1String("item")) {
                ++itemDepth;
            } else if (itemDepth > 0 && plain && name == QLatin1String("enclosure")) {
                auto entry = entryFromEnclosure(xml.attributes(), baseUrl);
                // Ties keep the earlier item.
                if (entry && (!result.newest || entry->build > result.newest->build))
                    result.newest = std::move(entry);
            }
        } else if (token == QXmlStreamReader::EndElement) {
            if (xml.namespaceUri().isEmpty() && xml.name() == QLatin1String("item") && itemDepth > 0)
                --itemDepth;
        }
    }
    if (xml.hasError()) {
        result.newest.reset();
        result.error = QStringLiteral("The update feed is not valid XML (line %1: %2).")
                           .arg(xml.lineNumber())
                           .arg(xml.errorString());
    } else if (!sawRss || !sawChannel) {
        result.newest.reset();
        result.error = QStringLiteral("The update feed is not an RSS document.");
    }
    return result;
}

} // namespace cv::configurator
