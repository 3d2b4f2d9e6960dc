#include "WarningLabel.h"

#include <QEvent>
#include <QFontMetrics>
#include <QTextLayout>

#include <algorithm>

namespace cv::configurator::windows {

namespace {

// `sentence` wrapped at `width` into at most `maxLines` lines, the last one
// cut with an ellipsis when the sentence goes on.
QStringList wrap(const QString &sentence, const QFont &font, int width, int maxLines, bool &cut)
{
    QTextLayout layout(sentence, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    QStringList lines;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        if (lines.size() == maxLines - 1) {
            const QString rest = sentence.mid(line.textStart());
            lines << QFontMetrics(font).elidedText(rest, Qt::ElideRight, width);
            cut = cut || lines.last() != rest;
            break;
        }
        lines << sentence.mid(line.textStart(), line.textLength()).trimmed();
    }
    layout.endLayout();
    return lines;
}

} // namespace

WarningLabel::WarningLabel(QWidget *parent)
    : QLabel(parent)
{
    setWordWrap(false); // the lines are broken here, to a budget
    setTextFormat(Qt::PlainText);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QSizePolicy policy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    policy.setRetainSizeWhenHidden(true);
    setSizePolicy(policy);
}

QStringList WarningLabel::linesFor(const QString &text, const QFont &font, int width, bool *cut)
{
    bool anyCut = false;
    const QStringList sentences = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QStringList lines;
    for (qsizetype i = 0; i < sentences.size(); ++i) {
        const int later = int(sentences.size() - 1 - i);
        const int room = std::min<int>(kLinesPerSentence, kLines - int(lines.size()) - later);
        if (room <= 0) {
            anyCut = true;
            break;
        }
        lines += wrap(sentences[i], font, std::max(1, width), room, anyCut);
    }
    if (cut)
        *cut = anyCut;
    return lines;
}

void WarningLabel::setText(const QString &text)
{
    m_full = text;
    relayout();
}

void WarningLabel::relayout()
{
    const int width = contentsRect().width() - 2 * margin();
    bool cut = false;
    const QString shown = linesFor(m_full, font(), width, &cut).join(QLatin1Char('\n'));
    setToolTip(cut ? m_full : QString());
    setAccessibleDescription(cut ? m_full : QString());
    QLabel::setText(shown);
}

QSize WarningLabel::sizeHint() const
{
    const QMargins m = contentsMargins();
    return {fontMetrics().averageCharWidth() * 20,
            kLines * fontMetrics().lineSpacing() + m.top() + m.bottom() + 2 * margin()};
}

QSize WarningLabel::minimumSizeHint() const
{
    return sizeHint();
}

void WarningLabel::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    relayout();
}

void WarningLabel::changeEvent(QEvent *event)
{
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        updateGeometry();
        relayout();
    }
}

} // namespace cv::configurator::windows
