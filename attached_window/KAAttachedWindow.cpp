#include "KAAttachedWindow.h"

#include <QBitmap>

#include "Log.h"

#include <QAction>
#include <QMetaObject>
#include <QPainter>
#include <QResizeEvent>

#include <cmath>
#include <limits>

using namespace ka;

KAAttachedWindow *KAAttachedWindow::create(QWidget *view, QPointF point)
{
    return create(view, point, nullptr, KASideAutomatic, 0.0f);
}

KAAttachedWindow *KAAttachedWindow::create(QWidget *view, QPointF point, int side)
{
    return create(view, point, nullptr, side, 0.0f);
}

KAAttachedWindow *KAAttachedWindow::create(QWidget *view, QPointF point, QWidget *window)
{
    return create(view, point, window, KASideAutomatic, 0.0f);
}

KAAttachedWindow *KAAttachedWindow::create(QWidget *view, QPointF point, float distance)
{
    return create(view, point, nullptr, KASideAutomatic, distance);
}

KAAttachedWindow *KAAttachedWindow::create(QWidget *view, QPointF point, int side, float distance)
{
    return create(view, point, nullptr, side, distance);
}

KAAttachedWindow *KAAttachedWindow::create(QWidget *view, QPointF point, QWidget *window,
                                           float distance)
{
    return create(view, point, window, KASideAutomatic, distance);
}

KAAttachedWindow *KAAttachedWindow::create(QWidget *view, QPointF point, QWidget *window, int side,
                                           float distance, std::shared_ptr<KAScreenSpace> screen)
{
    if (!view)
        return nullptr;
    return new KAAttachedWindow(view, point, window, side, distance, std::move(screen));
}

KAAttachedWindow::KAAttachedWindow(QWidget *view, QPointF point, QWidget *window, int side,
                                   float distance, std::shared_ptr<KAScreenSpace> screen)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint)
    , m_screen(screen ? std::move(screen) : std::make_shared<KAScreenSpace>())
    , _KABackgroundColor(QColor::fromRgbF(0.1f, 0.1f, 0.1f, 0.75f))
    , _view(view)
    , _window(window)
    , _point{float(point.x()), float(point.y())}
    , _side(side)
    , _distance(distance)
{
    resize(view->size());

    // Not opaque: only the rendered bubble shows; the platform may add a
    // shadow from its shape. Nothing here moves the window by its background.
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_NoSystemBackground);
    setAutoFillBackground(false);
    setWindowOpacity(1.0);

    if (_side == KASideAutomatic)
        _side = _bestSideForAutomaticPosition();

    _updateGeometry();
    _updateBackground();

    // Adding the view must not change whether the caller meant it shown.
    const bool explicitlyHidden = view->isHidden() && view->testAttribute(Qt::WA_WState_ExplicitShowHide);
    const QRect viewGeometry = view->geometry();
    view->setParent(this);
    view->setGeometry(viewGeometry);
    if (!explicitlyHidden)
        view->show();

    // From here on, resizes of this window re-lay it out; the first layout
    // above must not count as one.
    m_observingResize = true;
}

KAAttachedWindow::~KAAttachedWindow()
{
    m_observingResize = false;
    // The view belongs to the caller, who may show it again elsewhere.
    if (_view && _view->parentWidget() == this) {
        _view->hide();
        _view->setParent(nullptr);
    }
}

// Properties ----------------------------------------------------------------

void KAAttachedWindow::setBorderWidth(float value)
{
    if (value == m_shape.borderWidth)
        return;
    m_shape.borderWidth = value > m_shape.viewMargin ? m_shape.viewMargin : value;
    _updateBackground();
}

void KAAttachedWindow::setViewMargin(float value)
{
    if (value == m_shape.viewMargin)
        return;
    m_shape.viewMargin = value < 0.0f ? 0.0f : value;
    setCornerRadius(m_shape.cornerRadius);
}

void KAAttachedWindow::setCornerRadius(float value)
{
    m_shape.cornerRadius = clampedCornerRadius(m_shape, _viewFrame, value);
    setArrowBaseWidth(m_shape.arrowBaseWidth);
}

void KAAttachedWindow::setArrowBaseWidth(float value)
{
    m_shape.arrowBaseWidth = clampedArrowBaseWidth(m_shape, _viewFrame, value);
    _redisplay();
}

void KAAttachedWindow::setArrowHeight(float value)
{
    if (value == m_shape.arrowHeight)
        return;
    m_shape.arrowHeight = value;
    _redisplay();
}

// The flags take floats and keep the value truncated toward zero in one
// byte. Values beyond the integer range are saturated first: converting them
// directly would be undefined.
static signed char truncatedFlag(float value)
{
    if (std::isnan(value))
        return 0;
    constexpr float high = float(std::numeric_limits<int>::max() / 2);
    const float bounded = value > high ? high : (value < -high ? -high : value);
    return static_cast<signed char>(static_cast<int>(bounded));
}

void KAAttachedWindow::setHasArrow(float value)
{
    if (float(m_shape.hasArrow) == value)
        return;
    m_shape.hasArrow = truncatedFlag(value);
    _updateBackground();
}

void KAAttachedWindow::setDrawsRoundCornerBesideArrow(float value)
{
    if (float(m_shape.drawsRoundCornerBesideArrow) == value)
        return;
    m_shape.drawsRoundCornerBesideArrow = truncatedFlag(value);
    _redisplay();
}

void KAAttachedWindow::setBorderColor(const QColor &color)
{
    if (color == m_shape.borderColor)
        return;
    m_shape.borderColor = color;
    _updateBackground();
}

void KAAttachedWindow::setBackgroundColor(const QBrush &color)
{
    if (color == _KABackgroundColor)
        return;
    _KABackgroundColor = color;
    _updateBackground();
}

void KAAttachedWindow::setBackgroundImage(const QImage &image)
{
    if (image.isNull())
        return;
    setBackgroundColor(QBrush(image));
}

// Window behaviour ------------------------------------------------------------

bool KAAttachedWindow::validateMenuItem(QAction *item) const
{
    if (_window && _window->metaObject()->indexOfMethod("validateMenuItem(QAction*)") >= 0) {
        bool answer = false;
        if (QMetaObject::invokeMethod(_window, "validateMenuItem", Qt::DirectConnection,
                                      Q_RETURN_ARG(bool, answer), Q_ARG(QAction *, item)))
            return answer;
    }
    return item && item->isEnabled();
}

void KAAttachedWindow::performClose(QObject *sender)
{
    if (_window) {
        // The close command is meant for the window the bubble belongs to.
        if (_window->metaObject()->indexOfMethod("performClose(QObject*)") >= 0)
            QMetaObject::invokeMethod(_window, "performClose", Qt::DirectConnection,
                                      Q_ARG(QObject *, sender));
        else
            _window->close();
        return;
    }
    close();
}

void KAAttachedWindow::orderFrontRegardless()
{
    setAttribute(Qt::WA_ShowWithoutActivating);
    show();
    raise();
}

void KAAttachedWindow::orderOut(QObject *)
{
    hide();
}

void KAAttachedWindow::setFrame(const KARect &frame)
{
    m_frame = frame;
    setGeometry(m_screen->toQt(frame));
}

// Placement -------------------------------------------------------------------

KAPoint KAAttachedWindow::attachmentPoint() const
{
    return _window ? m_screen->convertBaseToScreen(_window, _point) : _point;
}

float KAAttachedWindow::_arrowInset() const
{
    return arrowInset(m_shape, scale());
}

int KAAttachedWindow::_bestSideForAutomaticPosition() const
{
    KARect visible = m_screen->mainScreenVisibleFrame();
    if (_window) {
        if (const auto onScreen = m_screen->visibleFrameOfScreenOf(_window))
            visible = *onScreen;
    }
    const KARect bounds = _window ? m_screen->frameOf(_window) : visible;
    const QSize size = _view ? _view->size() : QSize();
    return bestSideForAutomaticPosition(m_shape, {float(size.width()), float(size.height())},
                                        attachmentPoint(), _distance, scale(), visible, bounds);
}

void KAAttachedWindow::_updateGeometry()
{
    const QSize size = _view ? _view->size() : QSize();
    const KALayout placed = ka::layout(m_shape, {float(size.width()), float(size.height())},
                                   attachmentPoint(), _side, _distance, scale());
    _viewFrame = placed.viewFrame;
    setFrame(placed.frame);
    if (_view)
        _view->setGeometry(KAScreenSpace::flip(_viewFrame, placed.frame.height));
}

void KAAttachedWindow::_redisplay()
{
    if (_resizing)
        return;
    _resizing = true;
    disableScreenUpdates();
    _updateGeometry();
    _updateBackground();
    enableScreenUpdates();
    _resizing = false;
}

void KAAttachedWindow::windowDidResize()
{
    _redisplay();
}

void KAAttachedWindow::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    if (!m_observingResize)
        return;
    // The echo of our own placement is not a resize from outside.
    if (!_resizing && event->size() == m_screen->toQt(m_frame).size())
        return;
    windowDidResize();
}

// Drawing ---------------------------------------------------------------------

QPainterPath KAAttachedWindow::_backgroundPath() const
{
    return backgroundPath(m_shape, _viewFrame, _side, scale());
}

void KAAttachedWindow::_appendArrowToPath(QPainterPath &path) const
{
    appendArrowToPath(path, m_shape, _side, scale());
}

QImage KAAttachedWindow::_backgroundColorPatternImage() const
{
    const QSize size = m_screen->toQt(m_frame).size();
    const qreal dpr = devicePixelRatioF();
    QImage image = renderBackground(m_shape, _backgroundPath(),
                                    {float(size.width()), float(size.height())},
                                    _KABackgroundColor, scale(), dpr);
    if (image.isNull() && !size.isEmpty())
        cv::platform::NSLog(QStringLiteral("KAAttachedWindow: no background for a %1 x %2 window")
                                .arg(size.width())
                                .arg(size.height()));
    return image;
}

void KAAttachedWindow::_updateBackground()
{
    disableScreenUpdates();
    m_background = _backgroundColorPatternImage();
    m_backgroundPixmap = m_background.isNull() ? QPixmap() : QPixmap::fromImage(m_background);
    updateShapeMask();
    // Only a window on screen is redrawn now; a hidden one paints the new
    // picture when it is shown. The platform derives the shadow from the
    // window's alpha, so the new shape brings its own shadow.
    if (isVisible())
        m_displayPending = true;
    enableScreenUpdates();
}

void KAAttachedWindow::updateShapeMask()
{
    // Without a compositing window manager the transparent parts of the
    // window show black. A mask of every pixel the bubble touches keeps them
    // off the screen; where the desktop composites it changes nothing.
    if (m_background.isNull()) {
        clearMask();
        return;
    }
    const QImage argb = m_background.convertToFormat(QImage::Format_ARGB32);
    QImage touched(argb.size(), QImage::Format_Mono);
    touched.setColor(0, qRgb(255, 255, 255));
    touched.setColor(1, qRgb(0, 0, 0));
    touched.fill(0);
    for (int y = 0; y < argb.height(); ++y) {
        const auto *row = reinterpret_cast<const QRgb *>(argb.constScanLine(y));
        for (int x = 0; x < argb.width(); ++x)
            if (qAlpha(row[x]) > 0)
                touched.setPixel(x, y, 1);
    }
    QBitmap mask = QBitmap::fromImage(touched);
    if (mask.size() != size())
        mask = QBitmap::fromPixmap(mask.scaled(size()));
    setMask(mask);
}

void KAAttachedWindow::disableScreenUpdates()
{
    if (m_updatesSuspended++ == 0)
        setUpdatesEnabled(false);
}

void KAAttachedWindow::enableScreenUpdates()
{
    if (m_updatesSuspended == 0 || --m_updatesSuspended > 0)
        return;
    setUpdatesEnabled(true);
    if (m_displayPending) {
        m_displayPending = false;
        if (isVisible())
            repaint();
    }
}

void KAAttachedWindow::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    if (m_backgroundPixmap.isNull())
        painter.fillRect(rect(), Qt::transparent);
    else
        painter.drawTiledPixmap(rect(), m_backgroundPixmap);
}
