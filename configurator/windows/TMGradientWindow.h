#pragma once
// A main window whose background is a picture rebuilt at every resize: a
// 1-pixel line in the highlight colour along the bottom and a grey gradient
// from 0.9 to 0.7 above it. The configurator's main window is one; its
// interface file is loaded into it with setupUi, so it also works as a plain
// QMainWindow with menus, toolbars and a central widget.

#include <QBrush>
#include <QMainWindow>
#include <QRectF>

class QToolBar;
class QPropertyAnimation;

namespace cv::configurator::windows {

class TMGradientWindow : public QMainWindow
{
    Q_OBJECT
    // The frame in bottom-left screen space; animated frame changes run on it.
    Q_PROPERTY(QRectF frame READ frame WRITE applyFrame)

public:
    // Titled, closable, miniaturisable and resizable (style mask 15).
    explicit TMGradientWindow(QWidget *parent = nullptr);
    // The content rectangle is in bottom-left screen space; an empty one
    // leaves placement to the window system. backing and defer have no
    // counterpart here and are accepted for the interface resources' sake.
    TMGradientWindow(const QRectF &contentRect, unsigned styleMask, int backing, bool defer,
                     QWidget *parent = nullptr);
    // The flat flag changes nothing.
    TMGradientWindow(const QRectF &contentRect, unsigned styleMask, int backing, bool defer,
                     bool flat, QWidget *parent = nullptr);
    ~TMGradientWindow() override;

    unsigned styleMask() const { return m_styleMask; }
    bool isFlat() const { return _flat; }
    bool isForcingDisplay() const { return forceDisplay; }

    // Hides the toolbar's baseline so the gradient runs on under it, then
    // installs the toolbar.
    void setToolbar(QToolBar *toolbar);
    // Installs the size with each side raised to at least 150.
    void setMinSize(const QSizeF &size);

    // The window's frame in bottom-left screen space (title bar included).
    QRectF frame() const;
    // Moves and resizes the window; every resize that happens meanwhile
    // redraws at once. With animate the change runs over a short animation
    // and the flag stays set until it ends.
    void setFrame(const QRectF &frame, bool display, bool animate);

    // The background for the current size, as a brush of the picture.
    QBrush gradientWindow() const;

    // The screen height that bottom-left space is flipped about; the primary
    // screen's unless a test sets one.
    void setScreenHeightForTesting(qreal height) { m_screenHeight = height; }

protected:
    // Rebuilds and installs the background; redraws at once while a
    // programmatic frame change runs.
    virtual void windowDidResize();

    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;
    bool event(QEvent *event) override;

private:
    void initialise(const QRectF &contentRect, unsigned styleMask);
    qreal screenHeight() const;
    // The one place where a bottom-left frame becomes Qt geometry.
    void applyFrame(const QRectF &frame);
    static void hideBaseline(QToolBar *toolbar);
    // The requested minimum, raised to what the layout needs.
    int wrappedTextExtra() const;
    void applyMinSize();

    bool _flat = false;
    bool forceDisplay = false;
    unsigned m_styleMask = 0;
    qreal m_screenHeight = -1;
    QSizeF m_requestedMinSize;
    QSize m_appliedMinSize;
    QPropertyAnimation *m_frameAnimation = nullptr;
};

} // namespace cv::configurator::windows
