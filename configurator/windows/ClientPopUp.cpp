#include "ClientPopUp.h"

#include "Names.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QPainter>

namespace cv::configurator::windows {

namespace {
constexpr int kGap = 12; // between the title and the mark

QString markText() { return QStringLiteral("(%1)").arg(QLatin1String(kClientNotFound)); }
} // namespace

ClientPopUp::ClientPopUp(QWidget *parent) : QComboBox(parent)
{
    addItems(names::clientNames());
}

void markMissingClients(QComboBox *popUp, const std::function<bool(const QString &)> &found)
{
    if (!qobject_cast<ClientItemDelegate *>(popUp->itemDelegate()))
        popUp->setItemDelegate(new ClientItemDelegate(popUp));
    for (int i = 0; i < popUp->count(); ++i) {
        const bool missing = !found(popUp->itemText(i));
        popUp->setItemData(i, missing, kClientMissingRole);
        const QVariant note = missing ? QVariant(QString::fromLatin1(kClientNotFound)) : QVariant();
        popUp->setItemData(i, note, Qt::ToolTipRole);
        popUp->setItemData(i, note, Qt::AccessibleDescriptionRole);
    }
}

void ClientItemDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QStyledItemDelegate::paint(painter, option, index);
    if (!index.data(kClientMissingRole).toBool())
        return;
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QWidget *widget = opt.widget;
    const QStyle *style = widget ? widget->style() : QApplication::style();
    const QRect textRect = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, widget);
    const int titleWidth = opt.fontMetrics.horizontalAdvance(opt.text);
    QRect markRect = textRect.adjusted(titleWidth + kGap, 0, 0, 0);
    if (markRect.width() <= 0)
        return;
    // The item's own text colour, italic: the mark stays as readable as the
    // title while it reads as a remark.
    const bool selected = opt.state & QStyle::State_Selected;
    QFont font = opt.font;
    font.setItalic(true);
    painter->save();
    painter->setFont(font);
    painter->setPen(opt.palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
    painter->drawText(markRect, Qt::AlignLeft | Qt::AlignVCenter, markText());
    painter->restore();
}

QSize ClientItemDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    if (index.data(kClientMissingRole).toBool()) {
        QFont font = option.font;
        font.setItalic(true);
        size.rwidth() += kGap + QFontMetrics(font).horizontalAdvance(markText());
    }
    return size;
}

} // namespace cv::configurator::windows
