#pragma once
// The feedback and bug-report mail links, the home page, and the crontab
// listing that the bug report carries.

#include <QByteArray>
#include <QString>
#include <QUrl>

namespace cv::configurator {

inline constexpr const char *kSupportAddress = "corvantis-support@tallowmere.example";
inline constexpr const char *kHomePage = "https://tallowmere.example/corvantis/";
// The mail links name this version, not the bundle's.
inline constexpr const char *kMailLinkVersion = "2.0";
// "crontab -l" gets this long before the report goes out with what it said.
inline constexpr int kCrontabListingTimeoutMs = 3000;

// Escapes, as UTF-8, every character that may not stand in a URL (blanks,
// control characters, quotes, "%", "<>[]{}|\^`", anything beyond ASCII) and
// keeps the letters, digits, the marks "-_.!~*'()" and the URL delimiters
// ";/?:@&=+$," as they are, wherever they stand. "#" is escaped too: it would
// cut the body of a mail link short at the first comment of a crontab.
QByteArray percentEscape(const QString &text);

// The links before escaping.
QString feedbackLinkText();
QString bugReportLinkText(const QString &crontabListing);

// The escaped links as URLs whose encoded form is exactly percentEscape() of
// the texts above: Qt neither escapes nor decodes any of it again.
QUrl feedbackUrl();
QUrl bugReportUrl(const QString &crontabListing);
QUrl homePageUrl();

// What "<crontabProgram> -l" prints on standard output, as UTF-8. A program
// that has not finished after timeoutMs is stopped (with anything it started)
// and what it printed so far is used; that is logged in one line, as is a
// program that cannot be started. Standard error goes to ours, the log.
QString readCrontabListing(const QString &crontabProgram = QStringLiteral("/usr/bin/crontab"),
                           int timeoutMs = kCrontabListingTimeoutMs);

} // namespace cv::configurator
