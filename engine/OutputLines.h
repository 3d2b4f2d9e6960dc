#pragma once
// Follows the lines of a script's output, which arrives in chunks that are
// not aligned to lines: a line may end in one chunk and start in another.

#include <QString>
#include <QStringView>

namespace cv::engine {

class OutputLines
{
public:
    // A line longer than this is kept by its end only; no line the engine
    // looks for is anywhere near as long.
    static constexpr qsizetype kKeptLength = 1024;

    void append(QStringView chunk);

    // The last line ended by a line feed, blank or not. Truncated lines
    // (longer than kKeptLength) are reported as such.
    const QString &lastLine() const { return m_lastLine; }
    bool lastLineTruncated() const { return m_lastLineTruncated; }
    // What follows the last line feed.
    const QString &partialLine() const { return m_partial; }
    // The last line that holds more than blanks, the unfinished one included:
    // what the output ended with once it has ended.
    QString lastNonBlankLine() const;

    // The script's success line: its date, then ": Backup completed
    // successfully." (blanks around it aside).
    static bool isSuccessLine(QStringView line);

private:
    QString m_lastLine;
    QString m_lastNonBlank;
    QString m_partial;
    bool m_lastLineTruncated = false;
    bool m_partialTruncated = false;
};

} // namespace cv::engine
