#pragma once
// Reads the update feed: an RSS 2.0 document whose items carry an
// <enclosure url="..." p:version="BUILD" p:shortVersionString="VERSION"/>.
// The two version attributes are found by their local names, whatever
// namespace and prefix the feed declares for them.

#include <QByteArray>
#include <QString>
#include <QStringView>
#include <QUrl>

#include <optional>

namespace cv::configurator {

struct FeedEntry {
    qlonglong build = 0;
    QString displayVersion; // the build number itself when the feed gives none
    QUrl downloadUrl;       // always absolute, http or https
};

struct FeedParseResult {
    // The item with the highest build; empty on error or when no item qualifies.
    std::optional<FeedEntry> newest;
    // Why the document could not be read; empty when it could.
    QString error;
};

// baseUrl resolves relative enclosure addresses. Items without a build number
// or without a web address to download from are skipped: a feed must never make
// us open anything but a web page.
FeedParseResult parseFeed(const QByteArray &document, const QUrl &baseUrl);

// The leading decimal integer of a version text: "12.5" counts as 12, text
// without leading digits as none. Numbers too large to hold saturate.
std::optional<qlonglong> leadingBuildNumber(QStringView text);

} // namespace cv::configurator
