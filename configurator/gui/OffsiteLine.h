#pragma once
// The main window's off-site line: the last off-site copy, its failure in the
// warning colour, or how far the upload in progress has come. Reads the
// sender's files every few seconds, so an upload that starts after the
// engine's end still shows.

#include <QObject>

#include <functional>

class QLabel;
class QTimer;
class QDateTime;

namespace cv::configurator {

class OffsiteLine : public QObject
{
    Q_OBJECT
public:
    using DateFormatter = std::function<QString(const QDateTime &)>;
    // The label is not owned; `enabled` says whether off-site copies are on.
    OffsiteLine(QLabel *label, DateFormatter formatDate, std::function<bool()> enabled, QObject *parent = nullptr);

    void refresh();

private:
    QLabel *m_label;
    DateFormatter m_formatDate;
    std::function<bool()> m_enabled;
    QTimer *m_timer;
};

} // namespace cv::configurator
