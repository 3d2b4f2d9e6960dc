#include "DesktopFit.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QColor>
#include <QKeySequence>
#include <QLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPointer>
#include <QShortcut>

#include <algorithm>

namespace cv::configurator::windows {

namespace {

constexpr const char *kAlertProperty = "cvAccessibleAlert";

// A view that appears to say something: a screen reader reads it as an
// alert, by the text of its one label.
class AlertAccessible : public QAccessibleWidget
{
public:
    AlertAccessible(QWidget *view, QLabel *text)
        : QAccessibleWidget(view, QAccessible::AlertMessage)
        , m_text(text)
    {
    }

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name && m_text)
            return m_text->text();
        return QAccessibleWidget::text(t);
    }

private:
    QPointer<QLabel> m_text;
};

QAccessibleInterface *alertFactory(const QString &, QObject *object)
{
    if (!object || !object->isWidgetType())
        return nullptr;
    const QVariant text = object->property(kAlertProperty);
    if (!text.isValid())
        return nullptr;
    return new AlertAccessible(static_cast<QWidget *>(object), qobject_cast<QLabel *>(text.value<QObject *>()));
}

} // namespace

void setFixedTextColours(QWidget *widget, const QColor &text, const QColor &disabledText)
{
    QPalette palette = widget->palette();
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        const QColor colour = group == QPalette::Disabled ? disabledText : text;
        palette.setColor(group, QPalette::WindowText, colour);
    }
    widget->setPalette(palette);
}

void fitMainWindow(QWidget *bubbleView, QLabel *bubbleText, QLabel *lastBackupLabel, QLabel *lastBackup,
                   QLineEdit *destination)
{
    // The value reads as itself (a label's name is its text); the label
    // beside it says what it is.
    lastBackupLabel->setBuddy(lastBackup);

    static const bool factoryInstalled = [] {
        QAccessible::installFactory(alertFactory);
        return true;
    }();
    Q_UNUSED(factoryInstalled);
    bubbleView->setProperty(kAlertProperty, QVariant::fromValue<QObject *>(bubbleText));

    // A long path shows only part of itself in the field.
    const QString hint = destination->toolTip();
    auto showPath = [destination, hint](const QString &text) {
        destination->setToolTip(text.isEmpty() ? hint : text);
    };
    QObject::connect(destination, &QLineEdit::textChanged, destination, showPath);
    showPath(destination->text());
}

void fitToLayout(QWidget *pane)
{
    QLayout *layout = pane->layout();
    if (!layout)
        return;
    layout->invalidate();
    const QSize minimum = layout->totalMinimumSize();
    const int width = std::max(pane->width(), minimum.width());
    const int height = layout->hasHeightForWidth() ? layout->totalHeightForWidth(width)
                                                   : layout->totalSizeHint().height();
    pane->resize(width, std::max(height, minimum.height()));
}

void announceAlert(QWidget *view)
{
    if (!QAccessible::isActive())
        return;
    QAccessibleEvent shown(view, QAccessible::ObjectShow);
    QAccessible::updateAccessibility(&shown);
    QAccessibleEvent alert(view, QAccessible::Alert);
    QAccessible::updateAccessibility(&alert);
}

void addCloseShortcuts(QWidget *window, const std::function<void()> &close)
{
    for (const QKeySequence &keys : {QKeySequence(Qt::Key_Escape), QKeySequence(QKeySequence::Close)}) {
        auto *shortcut = new QShortcut(keys, window);
        shortcut->setContext(Qt::WindowShortcut);
        QObject::connect(shortcut, &QShortcut::activated, window, close);
    }
}

} // namespace cv::configurator::windows
