#pragma once
// The client pop-up, holding the titles of the client table (Clients.h) in
// its order, and its mark for clients whose data folder is not on this
// computer. The items keep their exact titles (they are what gets saved); the
// mark is item data, drawn after the title by a delegate and given to
// tooltips and screen readers as the item's description.

#include <QComboBox>
#include <QStyledItemDelegate>

#include <functional>

namespace cv::configurator::windows {

inline constexpr const char *kClientNotFound = "not found on this computer";
// Item data role that holds true for a client marked as missing.
inline constexpr int kClientMissingRole = Qt::UserRole + 1;

class ClientPopUp : public QComboBox
{
    Q_OBJECT
public:
    explicit ClientPopUp(QWidget *parent = nullptr);
};

// Marks or unmarks every item of the pop-up; found answers for a title.
void markMissingClients(QComboBox *popUp, const std::function<bool(const QString &)> &found);

class ClientItemDelegate : public QStyledItemDelegate
{
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
};

} // namespace cv::configurator::windows
