// The main window's off-site line from the sender's record and progress,
// including records that were damaged or written by hand.
#include "OffsiteRecord.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

using namespace cv::offsite;

namespace {

TEST(OffsiteLine, SaysWhatTheRecordAndTheProgressHold)
{
    const QDateTime when(QDate(2026, 12, 7), QTime(21, 30));
    const auto format = [](const QDateTime &t) { return t.toString(QStringLiteral("dd/MM/yyyy HH:mm")); };
    OffsiteRecord sent;
    sent.time = when;
    sent.succeeded = true;
    OffsiteRecord failed = sent;
    failed.succeeded = false;
    failed.reason = QStringLiteral("The repository could not be reached (connection refused).");
    const OffsiteProgress running{qint64(QCoreApplication::applicationPid()), 120'400'000, 260'000'000, 0.459};
    const OffsiteProgress big{1, 1'450'000'000, 2'000'000'000, 0.725};
    const struct {
        const char *name;
        bool enabled;
        OffsiteRecord record;
        std::optional<OffsiteProgress> progress;
        QString line;
    } cases[] = {
        {"never sent", true, {}, std::nullopt, {}},
        {"turned off", false, sent, std::nullopt, {}},
        {"sent", true, sent, std::nullopt, "Off-site copy: 07/12/2026 21:30"},
        {"failed", true, failed, std::nullopt,
         "Off-site copy failed on 07/12/2026 21:30: The repository could not be reached (connection refused)."},
        {"sending", true, failed, running, "Sending off-site: 45 % (120 MB of 260 MB)"},
        {"sending gigabytes", true, sent, big, "Sending off-site: 72 % (1.4 GB of 2.0 GB)"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(offsiteLineText(c.enabled, c.record, c.progress, format), c.line) << c.name;
}

TEST(OffsiteLine, DamagedOrStaleFilesShowNothingFalse)
{
    cv::test::ScopedHome home;
    const QString record = home.file(QStringLiteral("offsite.plist"));
    for (const QByteArray &bytes : {QByteArray("not a plist"), QByteArray(
             "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Succeeded</key><string>yes</string>"
             "<key>Time</key><integer>5</integer><key>NextCheckSlice</key><integer>99</integer></dict></plist>")}) {
        ASSERT_TRUE(cv::test::writeFile(record, bytes));
        const OffsiteRecord read = OffsiteRecord::read(record);
        EXPECT_FALSE(read.succeeded);
        EXPECT_FALSE(read.time.has_value());
        EXPECT_EQ(read.nextCheckSlice, 1);
    }
    // A progress file left by a sender that was killed: its pid is gone.
    const QString progress = home.file(QStringLiteral("offsite-progress.plist"));
    ASSERT_TRUE(cv::test::writeFile(progress, "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>PID</key>"
                                              "<integer>999999999</integer></dict></plist>"));
    EXPECT_FALSE(OffsiteProgress::readLive(progress).has_value());
}

} // namespace
