#include "TreeSearch.h"

#include <algorithm>

namespace cv::history {

void TreeSearch::start(const QList<Entry> &tree, const QString &text)
{
    m_tree = &tree;
    m_needle = text.trimmed();
    m_next = tree.size() - 1;
    m_wantedBelow.clear();
    m_reversed.clear();
    m_matchingFiles = 0;
    m_totalFiles = 0;
}

bool TreeSearch::step(std::chrono::milliseconds budget)
{
    if (!m_tree)
        return true;
    QElapsedTimer timer;
    timer.start();
    const QList<Entry> &tree = *m_tree;
    while (m_next >= 0) {
        // The clock is read every few hundred entries only.
        for (int n = 0; n < 256 && m_next >= 0; ++n, --m_next) {
            const Entry &e = tree.at(m_next);
            const bool folder = e.kind == EntryKind::Folder;
            if (!folder)
                ++m_totalFiles;
            const bool holdsWanted = folder && m_wantedBelow.size() > e.path.size() && m_wantedBelow.startsWith(e.path)
                && m_wantedBelow.at(e.path.size()) == '/';
            const bool matches = !m_needle.isEmpty() && e.name().contains(m_needle, Qt::CaseInsensitive);
            if (matches && !folder)
                ++m_matchingFiles;
            if (holdsWanted || matches) {
                m_reversed.append(m_next);
                m_wantedBelow = e.path;
            }
        }
        if (timer.elapsed() >= budget.count())
            break;
    }
    return m_next < 0;
}

QList<qsizetype> TreeSearch::shown() const
{
    QList<qsizetype> out(m_reversed.crbegin(), m_reversed.crend());
    return out;
}

} // namespace cv::history
