#include "Schedule.h"
#include "StatusText.h"
#include "UserDefaults.h"
#include "WindowSettings.h"

#include "Home.h"
#include "PropertyList.h"
#include "TestSupport.h"

#include <QFile>
#include <gtest/gtest.h>

using namespace cv::configurator;

namespace {

DayFlags days(std::initializer_list<int> on)
{
    DayFlags d{};
    for (int i : on)
        d[std::size_t(i)] = true;
    return d;
}

} // namespace

TEST(Schedule, DayListAndCronFieldFollowTheDayTable)
{
    const struct {
        DayFlags days;
        const char *list;
        const char *cron;
    } rows[] = {
        {days({0, 1, 2, 3, 4, 5, 6}), "Everyday", "0,1,2,3,4,5,6"},
        {days({1, 2, 3, 4, 5}), "Weekdays", "1,2,3,4,5"},
        {days({1, 2, 3, 4, 5, 6}), "Monday, Tuesday, Wednesday, Thursday, Friday, Saturday", "1,2,3,4,5,6"},
        {days({0, 6}), "Sunday, Saturday", "0,6"},
        {days({}), "", ""},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(getStringForDays(row.days), QLatin1String(row.list));
        EXPECT_EQ(getDaysString(row.days), QLatin1String(row.cron));
    }
}

TEST(Schedule, CronLineCarriesPlainNumbersAndTheQuotedEngine)
{
    const QString engine = QStringLiteral("\"/Users/someone/Library/Application Support/Tallowmere/Corvantis/CVEngine.app/Contents/MacOS/CVEngine\"");
    EXPECT_EQ(formulateCronJob(QTime(14, 5), days({1, 2, 3, 4, 5}), QStringLiteral("/Users/someone")),
              QStringLiteral("5\t14\t*\t*\t1,2,3,4,5\t") + engine + QLatin1Char('\n'));
    EXPECT_EQ(formulateCronJob(QTime(9, 7, 42), days({6}), QStringLiteral("/Users/someone")),
              QStringLiteral("7\t9\t*\t*\t6\t") + engine + QLatin1Char('\n'));
    // What cron and /bin/sh would read differently is escaped; the rest stays.
    EXPECT_EQ(engineCommand(QStringLiteral("/h/a%b$c`d\"e\\f g")),
              QStringLiteral("\"/h/a\\%b\\$c\\`d\\\"e\\\\f g/Library/Application Support/Tallowmere/Corvantis/CVEngine.app/Contents/MacOS/CVEngine\""));
}

TEST(Schedule, TimesAndStatusSentences)
{
    EXPECT_EQ(displayTime(QTime(0, 0)), QStringLiteral("12:00 AM"));
    EXPECT_EQ(displayTime(QTime(12, 0)), QStringLiteral("12:00 PM"));
    EXPECT_EQ(displayTime(QTime(14, 5)), QStringLiteral("02:05 PM"));
    EXPECT_EQ(configuredSentence(QStringLiteral("Apple Mail"), days({1, 2, 3, 4, 5}), QTime(14, 5)),
              QStringLiteral("Corvantis is currently configured to backup Apple Mail on Weekdays at 02:05 PM"));
    EXPECT_EQ(runNowOnlySentence(QStringLiteral("Eudora 6")),
              QStringLiteral("Corvantis is currently configured to backup Eudora 6 on Run Now only."));
}

TEST(StatusText, LastBackupLineInEachFormat)
{
    const QDateTime noon(QDate(2026, 12, 5), QTime(12, 0));
    const QDateTime midnight(QDate(2026, 12, 5), QTime(0, 9));
    const QDateTime afternoon(QDate(2026, 5, 12), QTime(14, 5));
    EXPECT_EQ(formatLastBackup(afternoon, 0), QStringLiteral("12/05/2026 at 02:05 PM"));
    EXPECT_EQ(formatLastBackup(afternoon, 1), QStringLiteral("12/05/2026 at 14:05"));
    EXPECT_EQ(formatLastBackup(noon, 0), QStringLiteral("05/12/2026 at 12:00 PM"));
    EXPECT_EQ(formatLastBackup(midnight, 2), QStringLiteral("12/05/2026 at 12:09 AM"));
    EXPECT_EQ(formatLastBackup(midnight, 3), QStringLiteral("12/05/2026 at 00:09"));
    // Only the exact title; nothing stored reads as the menu first shows it.
    for (const QString &title : {QStringLiteral("mm/dd/yy with 24hr clock"), QString()})
        EXPECT_EQ(formatLastBackup(midnight, getDateFormat(title)), QStringLiteral("12/05/2026 at 00:09"));
    EXPECT_EQ(dateFormatTitles().at(kDefaultDateFormat), QStringLiteral("MM/DD/YY with 24hr clock"));

    cv::test::ScopedHome home;
    EXPECT_EQ(lastBackupText(cv::markerFilePath(), 0), QStringLiteral("Unknown"));
    ASSERT_TRUE(cv::test::writeFile(cv::markerFilePath(), {}));
    QFile marker(cv::markerFilePath());
    ASSERT_TRUE(marker.open(QIODevice::ReadWrite));
    ASSERT_TRUE(marker.setFileTime(afternoon, QFileDevice::FileModificationTime));
    marker.close();
    // Followed through a link, as a marker on another volume might be.
    ASSERT_TRUE(QFile::link(cv::markerFilePath(), home.file(QStringLiteral("link"))));
    EXPECT_EQ(lastBackupText(home.file(QStringLiteral("link")), 1), QStringLiteral("12/05/2026 at 14:05"));
}

TEST(WindowSettings, RoundTripThroughTheDefaultsFile)
{
    cv::test::ScopedHome home;
    EXPECT_FALSE(unarchiveDateTime("garbage").has_value());
    {
        cv::platform::UserDefaults defaults(cv::defaultsFilePath());
        const WindowSettings first = loadPreferences(defaults);
        EXPECT_EQ(first.client, QStringLiteral("Apple Mail"));
        EXPECT_EQ(first.destination, QStringLiteral("/"));
        EXPECT_EQ(first.currentConfiguration, QStringLiteral("Corvantis Pro is currently not configured."));
        EXPECT_FALSE(first.time.has_value());

        WindowSettings s;
        s.client = QStringLiteral("Thunderbird");
        s.destination = QStringLiteral("/media/backup disk/mail");
        s.days = days({0, 3});
        s.time = QDateTime(QDate(2026, 12, 6), QTime(23, 59, 58, 250));
        s.launchClient = true;
        s.currentConfiguration = QStringLiteral("status");
        ASSERT_TRUE(savePreferences(defaults, s));
    }
    cv::platform::UserDefaults again(cv::defaultsFilePath());
    const WindowSettings back = loadPreferences(again);
    EXPECT_EQ(back.client, QStringLiteral("Thunderbird"));
    EXPECT_EQ(back.destination, QStringLiteral("/media/backup disk/mail"));
    EXPECT_EQ(back.days, days({0, 3}));
    ASSERT_TRUE(back.time.has_value());
    EXPECT_EQ(*back.time, QDateTime(QDate(2026, 12, 6), QTime(23, 59, 58, 250)));
    EXPECT_TRUE(back.launchClient);
    EXPECT_EQ(again.integer(QStringLiteral("wednesday")), 1);
    EXPECT_EQ(again.string(QStringLiteral("CVVersion")), QStringLiteral("2.0"));
}

TEST(WindowSettings, ConfigurationFileNeedsItsFolder)
{
    cv::test::ScopedHome home;
    Schedule s;
    s.client = QStringLiteral("Thunderbird");
    s.destination = QStringLiteral("/tmp/dest \"quoted\"");
    // No support folder yet: refused with a reason, nothing written.
    const cv::Result<> refused = writeConfiguration(cv::configFilePath(), s);
    EXPECT_TRUE(refused.reason().contains(QStringLiteral("does not exist"))) << qPrintable(refused.reason());
    ASSERT_TRUE(cv::test::writeFile(cv::configFilePath(), "old"));
    ASSERT_TRUE(writeConfiguration(cv::configFilePath(), s));
    auto dict = cv::platform::readDictionaryFile(cv::configFilePath());
    ASSERT_TRUE(dict.has_value());
    EXPECT_EQ(dict->value(QStringLiteral("Client")).toString(), s.client);
    EXPECT_EQ(dict->value(QStringLiteral("Destination")).toString(), s.destination);
}
