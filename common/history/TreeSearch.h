#pragma once
// Search by name over a tree of a hundred thousand entries, a slice at a
// time, so that a window stays responsive while it runs.

#include "BackupHistory.h"

#include <QElapsedTimer>
#include <QList>
#include <QString>

#include <chrono>

namespace cv::history {

class TreeSearch
{
public:
    // Starts over on `tree` (which must outlive the search and stay as it is).
    void start(const QList<Entry> &tree, const QString &text);
    // Works for about `budget`; true once the search is complete.
    bool step(std::chrono::milliseconds budget);
    bool finished() const { return m_tree && m_next < 0; }

    // Complete once finished: the indexes into the tree of the matches and of
    // the folders above them, in the tree's order.
    QList<qsizetype> shown() const;
    // Matching files (not folders), and the files in the whole tree.
    qsizetype matchingFiles() const { return m_matchingFiles; }
    qsizetype totalFiles() const { return m_totalFiles; }

private:
    const QList<Entry> *m_tree = nullptr;
    QString m_needle;
    qsizetype m_next = -1; // walked backwards: a folder is kept when anything after it inside it is
    QByteArray m_wantedBelow;
    QList<qsizetype> m_reversed;
    qsizetype m_matchingFiles = 0;
    qsizetype m_totalFiles = 0;
};

} // namespace cv::history
