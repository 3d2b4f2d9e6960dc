#pragma once
// The main window's warning under the last-backup line: one or more
// sentences, each on lines of its own. However long a sentence is (a
// failure's reason may run to a thousand characters), the label keeps a
// fixed room of three lines, whether shown or not: a sentence takes at most
// two, cut with an ellipsis, and leaves a line to each sentence after it, so
// "Backups are overdue." stays in sight and the window neither grows nor
// squashes its fields when a warning appears. The whole text is the tooltip
// of a cut one.

#include <QLabel>

namespace cv::configurator::windows {

class WarningLabel : public QLabel
{
    Q_OBJECT
public:
    static constexpr int kLines = 3;
    static constexpr int kLinesPerSentence = 2;

    explicit WarningLabel(QWidget *parent = nullptr);

    // Hides QLabel::setText: sentences separated by line feeds.
    void setText(const QString &text);
    const QString &fullText() const { return m_full; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // The lines shown at `width` with `font`; `cut` tells whether any text
    // was left out.
    static QStringList linesFor(const QString &text, const QFont &font, int width, bool *cut = nullptr);

protected:
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void relayout();

    QString m_full;
};

} // namespace cv::configurator::windows
