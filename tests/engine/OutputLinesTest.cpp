// The run's success is read from the last line of its output, however the
// output was cut into chunks.
#include "OutputLines.h"

#include <gtest/gtest.h>

#include <QStringList>

using cv::engine::OutputLines;

TEST(OutputLines, SuccessOnlyWhenTheLastNonBlankLineIsTheSuccessLine)
{
    const QString ok = QStringLiteral("Mon Dec  7 21:00:00 UTC 2026: Backup completed successfully.");
    const QString failed = QStringLiteral("Mon Dec  7 21:00:00 UTC 2026: Backup failed. Please see above error messages.");
    // A mail file named like the success line, in the copy's complaint.
    const QString complaint =
        QStringLiteral("ditto: /home/u/.thunderbird/Mail/Backup completed successfully: Permission denied");
    struct Case {
        const char *name;
        QStringList chunks;
        bool success;
    };
    const Case cases[] = {
        {"one chunk", {QStringLiteral("Backing up Mail files\n") + ok + u'\n'}, true},
        {"blank lines after it", {ok + QStringLiteral("\n\n  \t\n")}, true},
        {"blanks after it, no final line feed", {ok + QStringLiteral("\n \t")}, true},
        {"line split over chunks", {ok.left(20), ok.mid(20, 9), ok.mid(29) + u'\n'}, true},
        {"earlier failures, then success", {failed + u'\n', complaint + u'\n' + ok + u'\n'}, true},
        {"the file name, then the failure line", {complaint + u'\n' + failed + u'\n'}, false},
        {"the file name last", {complaint + u'\n'}, false},
        {"success line followed by more", {ok + u'\n', QStringLiteral("osascript: no such application\n")}, false},
        {"unfinished line after success", {ok + QStringLiteral("\nditto: half a li")}, false},
        {"phrase without the date", {QStringLiteral("Backup completed successfully.\n")}, false},
        {"a very long line ending like it", {QString(5000, u'x') + QStringLiteral(": Backup completed successfully.\n")}, true},
    };
    for (const Case &c : cases) {
        OutputLines lines;
        for (const QString &chunk : c.chunks)
            lines.append(chunk);
        EXPECT_EQ(OutputLines::isSuccessLine(lines.lastNonBlankLine()), c.success) << c.name;
    }
}
