#pragma once
// A frameless, translucent bubble window that shows one view and points at a
// spot with an arrow. The spot is a screen point, or a point in the base
// coordinates (bottom-left origin, y up) of a parent window. All geometry is
// kept in screen space (see KAScreenSpace); Qt sees only the final frames.

#include "KAGeometry.h"
#include "KAScreenSpace.h"
#include "KASide.h"

#include <QBrush>
#include <QColor>
#include <QImage>
#include <QPixmap>
#include <QPointF>
#include <QPointer>
#include <QWidget>

#include <memory>

class QAction;

class KAAttachedWindow : public QWidget
{
    Q_OBJECT

public:
    // Each returns null, and creates nothing, when view is null. The window
    // does not own the view (it gives it back on destruction) nor the parent
    // window. Without a side the side is chosen automatically, once.
    static KAAttachedWindow *create(QWidget *view, QPointF point);
    static KAAttachedWindow *create(QWidget *view, QPointF point, int side);
    static KAAttachedWindow *create(QWidget *view, QPointF point, QWidget *window);
    static KAAttachedWindow *create(QWidget *view, QPointF point, float distance);
    static KAAttachedWindow *create(QWidget *view, QPointF point, int side, float distance);
    static KAAttachedWindow *create(QWidget *view, QPointF point, QWidget *window, float distance);
    // screen: where the scale factor and screen geometry come from; null for
    // the real screens.
    static KAAttachedWindow *create(QWidget *view, QPointF point, QWidget *window, int side,
                                    float distance,
                                    std::shared_ptr<ka::KAScreenSpace> screen = nullptr);

    ~KAAttachedWindow() override;

    float borderWidth() const { return m_shape.borderWidth; }
    void setBorderWidth(float value);
    float viewMargin() const { return m_shape.viewMargin; }
    void setViewMargin(float value);
    float arrowBaseWidth() const { return m_shape.arrowBaseWidth; }
    void setArrowBaseWidth(float value);
    float arrowHeight() const { return m_shape.arrowHeight; }
    void setArrowHeight(float value);
    float cornerRadius() const { return m_shape.cornerRadius; }
    void setCornerRadius(float value);
    // The two flags read and take floats: 1.0 set, 0.0 clear.
    float hasArrow() const { return float(m_shape.hasArrow); }
    void setHasArrow(float value);
    float drawsRoundCornerBesideArrow() const { return float(m_shape.drawsRoundCornerBesideArrow); }
    void setDrawsRoundCornerBesideArrow(float value);

    // The outline colour and the bubble's fill. Setting the value already
    // stored does nothing, so repeated calls cost no redraw.
    QColor borderColor() const { return m_shape.borderColor; }
    void setBorderColor(const QColor &color);
    QBrush windowBackgroundColor() const { return _KABackgroundColor; }
    void setBackgroundColor(const QBrush &color);
    // Fills the bubble with the image as a pattern; a null image is ignored.
    void setBackgroundImage(const QImage &image);

    bool canBecomeKeyWindow() const { return true; }
    bool canBecomeMainWindow() const { return false; }
    bool isExcludedFromWindowsMenu() const { return m_excludedFromWindowsMenu; }
    // With a parent window both go to the parent when it answers them.
    Q_INVOKABLE bool validateMenuItem(QAction *item) const;
    Q_INVOKABLE void performClose(QObject *sender);

    // Shows the window in front without taking the focus; hides it.
    void orderFrontRegardless();
    void orderOut(QObject *sender);
    // Kept as given: the window system rounds its opacity to 1/255 steps,
    // and a fade counts its steps on the exact value.
    float alphaValue() const { return m_alphaValue; }
    void setAlphaValue(float value)
    {
        m_alphaValue = value;
        setWindowOpacity(qBound(0.0, double(value), 1.0));
    }

    // The window's frame in screen space, as last placed.
    ka::KARect frame() const { return m_frame; }
    void setFrame(const ka::KARect &frame);

    // Fixed at creation.
    int side() const { return _side; }
    ka::KAPoint point() const { return _point; }
    float distance() const { return _distance; }
    QWidget *view() const { return _view; }
    QWidget *parentWindow() const { return _window; }
    ka::KARect viewFrame() const { return _viewFrame; }
    // The rendered bubble the window paints as its background.
    const QImage &backgroundImage() const { return m_background; }

    // Internal steps, public so that the program's tests can reach them.
    virtual void _updateGeometry();
    int _bestSideForAutomaticPosition() const;
    float _arrowInset() const;
    void _redisplay();
    void _updateBackground();
    QPainterPath _backgroundPath() const;
    void _appendArrowToPath(QPainterPath &path) const;
    QImage _backgroundColorPatternImage() const;
    void windowDidResize();

protected:
    // view must not be null; use create().
    KAAttachedWindow(QWidget *view, QPointF point, QWidget *window, int side, float distance,
                     std::shared_ptr<ka::KAScreenSpace> screen);

    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    float m_alphaValue = 1.0f;
    float scale() const { return m_screen->userSpaceScaleFactor(); }
    ka::KAPoint attachmentPoint() const;
    // Nested suspension of drawing, so a layout and its redraw show together.
    void disableScreenUpdates();
    void updateShapeMask();
    void enableScreenUpdates();

    std::shared_ptr<ka::KAScreenSpace> m_screen;
    ka::KABubbleShape m_shape;  // borderColor, borderWidth ... drawsRoundCornerBesideArrow
    QBrush _KABackgroundColor;
    QPointer<QWidget> _view;
    QPointer<QWidget> _window;
    ka::KAPoint _point;
    int _side = KASideAutomatic;
    float _distance = 0.0f;
    ka::KARect _viewFrame;
    bool _resizing = false;

    ka::KARect m_frame;
    QImage m_background;
    QPixmap m_backgroundPixmap;
    bool m_excludedFromWindowsMenu = true;
    bool m_observingResize = false;
    int m_updatesSuspended = 0;
    bool m_displayPending = false;
};
