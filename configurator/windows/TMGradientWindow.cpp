#include "TMGradientWindow.h"

#include "DesktopFit.h"
#include "ScreenFrame.h"
#include "WindowMath.h"

#include <QChildEvent>
#include <QLayout>
#include <QMenuBar>
#include <QGuiApplication>
#include <QPalette>
#include <QPropertyAnimation>
#include <QResizeEvent>
#include <QScreen>
#include <QToolBar>
#include <QtMath>

#include <algorithm>

namespace cv::configurator::windows {

namespace {
constexpr unsigned kStandardStyle =
    kTitledWindowMask | kClosableWindowMask | kMiniaturizableWindowMask | kResizableWindowMask;
constexpr int kFrameAnimationMs = 200;

// Text on the fixed grey: black, and a dark grey when disabled; both keep at
// least 4.5:1 against the darkest grey (0.7) under any desktop palette.
const QColor kText(0, 0, 0);
const QColor kDisabledText(0x3c, 0x3c, 0x3c);

// Menu bars and toolbars show the window's background and draw their items'
// text in the button text colour, which follows the desktop otherwise.
void fixBarText(QWidget *bar)
{
    setFixedTextColours(bar, kText, kDisabledText);
    QPalette palette = bar->palette();
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        palette.setColor(group, QPalette::ButtonText, group == QPalette::Disabled ? kDisabledText : kText);
    bar->setPalette(palette);
}
} // namespace

TMGradientWindow::TMGradientWindow(QWidget *parent)
    : QMainWindow(parent)
{
    initialise({}, kStandardStyle);
}

TMGradientWindow::TMGradientWindow(const QRectF &contentRect, unsigned styleMask, int backing,
                                   bool defer, QWidget *parent)
    : TMGradientWindow(contentRect, styleMask, backing, defer, false, parent)
{
}

TMGradientWindow::TMGradientWindow(const QRectF &contentRect, unsigned styleMask, int, bool,
                                   bool, QWidget *parent)
    : QMainWindow(parent)
{
    initialise(contentRect, styleMask);
}

TMGradientWindow::~TMGradientWindow() = default;

void TMGradientWindow::initialise(const QRectF &contentRect, unsigned styleMask)
{
    m_styleMask = texturedStyleMask(styleMask);
    Qt::WindowFlags flags = Qt::Window | Qt::CustomizeWindowHint;
    if (m_styleMask & kTitledWindowMask)
        flags |= Qt::WindowTitleHint;
    if (m_styleMask & kClosableWindowMask)
        flags |= Qt::WindowCloseButtonHint;
    if (m_styleMask & kMiniaturizableWindowMask)
        flags |= Qt::WindowMinimizeButtonHint;
    if (m_styleMask & kResizableWindowMask)
        flags |= Qt::WindowMaximizeButtonHint;
    setWindowFlags(flags);

    _flat = false;
    forceDisplay = false;
    setMinSize({0, 0});
    if (!contentRect.isEmpty()) {
        const QRectF qt = flipRect(contentRect, screenHeight());
        setGeometry(qt.toRect());
    }
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setBrush(QPalette::Window, gradientWindow());
    setPalette(palette);
    setFixedTextColours(this, kText, kDisabledText);
}

qreal TMGradientWindow::screenHeight() const
{
    if (m_screenHeight >= 0)
        return m_screenHeight;
    return primaryScreenHeight();
}

void TMGradientWindow::setToolbar(QToolBar *toolbar)
{
    if (!toolbar)
        return;
    hideBaseline(toolbar);
    addToolBar(toolbar);
}

void TMGradientWindow::hideBaseline(QToolBar *toolbar)
{
    // The styles draw a panel and a separating line under a toolbar; an
    // unpanelled toolbar lets the window background show through instead.
    toolbar->setProperty("showsBaselineSeparator", false);
    toolbar->setStyleSheet(QStringLiteral("QToolBar { border: none; background: transparent; }"));
    fixBarText(toolbar);
}

void TMGradientWindow::setMinSize(const QSizeF &size)
{
    m_requestedMinSize = gradientMinSize(size);
    applyMinSize();
}

void TMGradientWindow::applyMinSize()
{
    // Never smaller than what the content needs at the current font and
    // style: an explicit minimum would otherwise let the layout clip text.
    QSize content;
    if (layout())
        content = layout()->totalMinimumSize();
    content.rheight() += wrappedTextExtra();
    m_appliedMinSize = QSize(qMax(qCeil(m_requestedMinSize.width()), content.width()),
                             qMax(qCeil(m_requestedMinSize.height()), content.height()));
    setMinimumSize(m_appliedMinSize);
}

int TMGradientWindow::wrappedTextExtra() const
{
    // A window's minimum knows nothing of height for width: a wrapped text
    // needs more lines at the actual width than its minimum says, and the
    // layout would take that room from the other controls.
    QLayout *content = centralWidget() ? centralWidget()->layout() : nullptr;
    if (!content || !content->hasHeightForWidth())
        return 0;
    const QMargins margins = content->contentsMargins();
    const int width = std::max(centralWidget()->width(), content->totalMinimumSize().width()) - margins.left()
        - margins.right();
    int extra = 0;
    for (int i = 0; i < content->count(); ++i) {
        QLayoutItem *item = content->itemAt(i);
        if (!item->isEmpty() && item->hasHeightForWidth())
            extra += std::max(0, item->heightForWidth(width) - item->minimumSize().height());
    }
    return extra;
}

QRectF TMGradientWindow::frame() const
{
    return windowFrame(this, screenHeight());
}

void TMGradientWindow::applyFrame(const QRectF &frame)
{
    setWindowFrame(this, frame, screenHeight());
}

void TMGradientWindow::setFrame(const QRectF &frame, bool display, bool animate)
{
    if (m_frameAnimation) {
        m_frameAnimation->stop();
        delete m_frameAnimation;
        m_frameAnimation = nullptr;
    }
    forceDisplay = true;
    if (!animate) {
        applyFrame(frame);
        if (display)
            repaint();
        forceDisplay = false;
        return;
    }
    // Animated: the flag stays set for the whole run, so every intermediate
    // size gets its own background drawn at once.
    m_frameAnimation = new QPropertyAnimation(this, "frame", this);
    m_frameAnimation->setStartValue(this->frame());
    m_frameAnimation->setEndValue(frame);
    m_frameAnimation->setDuration(kFrameAnimationMs);
    connect(m_frameAnimation, &QPropertyAnimation::finished, this, [this] {
        forceDisplay = false;
    });
    m_frameAnimation->start();
}

QBrush TMGradientWindow::gradientWindow() const
{
    // The client area: the title bar belongs to the window system here and
    // takes no part in the picture, so the line lands on the visible bottom.
    const QColor highlight = palette().color(QPalette::Active, QPalette::Highlight);
    return QBrush(gradientPicture(size(), highlight));
}

void TMGradientWindow::windowDidResize()
{
    QPalette palette = this->palette();
    palette.setBrush(QPalette::Window, gradientWindow());
    setPalette(palette);
    if (forceDisplay)
        repaint();
}

void TMGradientWindow::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    // Wrapped texts take other heights at another width. Before the first
    // show an interface file's minimum may still be taken over there.
    if (isVisible() && event->size().width() != event->oldSize().width())
        applyMinSize();
    windowDidResize();
}

void TMGradientWindow::showEvent(QShowEvent *event)
{
    // setupUi may have set a minimum of its own, smaller than 150 perhaps.
    if (minimumSize() != m_appliedMinSize)
        m_requestedMinSize = gradientMinSize(QSizeF(minimumSize()));
    applyMinSize();
    QMainWindow::showEvent(event);
}

bool TMGradientWindow::event(QEvent *event)
{
    // Toolbars added by an interface file come through addToolBar, not
    // setToolbar; they lose their baseline here.
    if (event->type() == QEvent::ChildPolished) {
        QObject *child = static_cast<QChildEvent *>(event)->child();
        auto *toolbar = qobject_cast<QToolBar *>(child);
        if (toolbar && !toolbar->property("showsBaselineSeparator").isValid())
            hideBaseline(toolbar);
        if (auto *menuBar = qobject_cast<QMenuBar *>(child))
            fixBarText(menuBar);
    }
    const bool handled = QMainWindow::event(event);
    // A new font or style changes what the content needs.
    if (event->type() == QEvent::LayoutRequest || event->type() == QEvent::FontChange
        || event->type() == QEvent::StyleChange)
        applyMinSize();
    return handled;
}

} // namespace cv::configurator::windows
