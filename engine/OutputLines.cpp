#include "OutputLines.h"

#include "Names.h"

namespace cv::engine {
namespace {

bool isBlank(QStringView line)
{
    return line.trimmed().isEmpty();
}

} // namespace

void OutputLines::append(QStringView chunk)
{
    const auto kept = [](QStringView text) { return text.right(kKeptLength).toString(); };
    const qsizetype lastFeed = chunk.lastIndexOf(QLatin1Char('\n'));
    if (lastFeed < 0) {
        m_partial += chunk;
        if (m_partial.size() > kKeptLength) {
            m_partial = kept(m_partial);
            m_partialTruncated = true;
        }
        return;
    }
    // Only the latest lines matter: walk back from the last line feed until
    // a line with more than blanks is found. A chunk may hold a megabyte.
    bool latest = true;
    for (qsizetype end = lastFeed;;) {
        const qsizetype feedBefore = end > 0 ? chunk.lastIndexOf(QLatin1Char('\n'), end - 1) : -1;
        QString line;
        bool truncated = false;
        if (feedBefore < 0) {
            // The chunk's first line finishes the one carried over.
            line = m_partial;
            line += chunk.first(end);
            truncated = m_partialTruncated || line.size() > kKeptLength;
            line = kept(line);
        } else {
            const QStringView view = chunk.mid(feedBefore + 1, end - feedBefore - 1);
            truncated = view.size() > kKeptLength;
            line = kept(view);
        }
        if (latest) {
            m_lastLine = line;
            m_lastLineTruncated = truncated;
            latest = false;
        }
        if (!isBlank(line)) {
            m_lastNonBlank = line;
            break;
        }
        if (feedBefore < 0)
            break;
        end = feedBefore;
    }
    const QStringView rest = chunk.mid(lastFeed + 1);
    m_partialTruncated = rest.size() > kKeptLength;
    m_partial = kept(rest);
}

QString OutputLines::lastNonBlankLine() const
{
    return isBlank(m_partial) ? m_lastNonBlank : m_partial;
}

bool OutputLines::isSuccessLine(QStringView line)
{
    static const QString ending = QStringLiteral(": %1.").arg(QLatin1String(names::kSuccessPhrase));
    const QStringView trimmed = line.trimmed();
    // The date comes first, so something stands before the ending.
    return trimmed.endsWith(ending) && !trimmed.chopped(ending.size()).trimmed().isEmpty();
}

} // namespace cv::engine
