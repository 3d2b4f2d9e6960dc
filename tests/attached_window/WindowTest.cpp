// KAAttachedWindow as a window, on the offscreen platform: creation, the
// setters' rules, colours, redrawing and resize handling.
#include "KAAttachedWindow.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QResizeEvent>
#include <QTest>

#include <memory>

using namespace ka;

namespace {

// A fixed screen: 1280 × 800, mirrored about y = 800, usable area minus a
// 30-unit panel at the bottom, and an injectable scale factor.
class FakeScreen : public KAScreenSpace
{
public:
    float scale = 1.0f;
    KARect visible{0, 30, 1280, 770};
    float userSpaceScaleFactor() const override { return scale; }
    KARect mainScreenVisibleFrame() const override { return visible; }
    std::optional<KARect> visibleFrameOfScreenOf(const QWidget *) const override { return visible; }
    qreal flipBase() const override { return 800.0; }
};

QWidget *makeView()
{
    auto *view = new QWidget;
    view->resize(200, 100);
    return view;
}

std::unique_ptr<KAAttachedWindow> make(QWidget *view, int side, QPointF point = {500, 500},
                                       QWidget *parent = nullptr,
                                       std::shared_ptr<FakeScreen> screen = std::make_shared<FakeScreen>())
{
    return std::unique_ptr<KAAttachedWindow>(KAAttachedWindow::create(view, point, parent, side, 0.0f, screen));
}

// Shown on screen; counts layouts and paints, and can deliver a resize in
// the middle of each layout, as a platform that reports frame changes at
// once would.
class ProbeWindow : public KAAttachedWindow
{
public:
    explicit ProbeWindow(QWidget *view)
        : KAAttachedWindow(view, {500, 500}, nullptr, KASideBottom, 0.0f, std::make_shared<FakeScreen>())
    {
        orderFrontRegardless();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(this));
        QCoreApplication::processEvents();
    }
    int layouts = 0;
    int paints = 0;
    bool resizeDuringLayout = false;
    void _updateGeometry() override
    {
        ++layouts;
        KAAttachedWindow::_updateGeometry();
        if (resizeDuringLayout) {
            QResizeEvent event(QSize(999, 999), size());
            QCoreApplication::sendEvent(this, &event);
        }
    }

protected:
    void paintEvent(QPaintEvent *event) override
    {
        ++paints;
        KAAttachedWindow::paintEvent(event);
    }
};

} // namespace

TEST(AttachedWindowCreate, PlacementWindowSettingsAndViewOwnership)
{
    EXPECT_EQ(KAAttachedWindow::create(nullptr, {1, 1}, KASideLeft, 3.0f), nullptr); // no view, no window
    std::unique_ptr<QWidget> view(makeView());
    auto window = make(view.get(), KASideBottom);
    ASSERT_TRUE(window);
    // Frame (398, 380, 204, 120) mirrored about y = 800: its top edge 500 is
    // Qt's y 300, and the view sits 2 units in from the window's bottom.
    EXPECT_EQ(window->geometry(), QRect(398, 300, 204, 120));
    EXPECT_EQ(view->parentWidget(), window.get());
    EXPECT_EQ(view->geometry(), QRect(2, 18, 200, 100));
    EXPECT_EQ(window->backgroundImage().size(), QSize(204, 120));

    EXPECT_TRUE(window->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(window->windowFlags() & Qt::WindowType_Mask, Qt::Tool); // no task-bar entry
    EXPECT_TRUE(window->testAttribute(Qt::WA_TranslucentBackground));
    EXPECT_FALSE(window->isVisible());

    // The view is given back, alive, and can be shown in a new bubble.
    window.reset();
    EXPECT_EQ(view->parentWidget(), nullptr);
    window = make(view.get(), KASideTop);
    EXPECT_EQ(view->parentWidget(), window.get());
}

TEST(AttachedWindowCreate, AutomaticSideScaleAndParentCoordinates)
{
    auto screen = std::make_shared<FakeScreen>();
    // Room below: bottom, chosen once.
    auto window = make(makeView(), KASideAutomatic, {640, 400}, nullptr, screen);
    EXPECT_EQ(window->side(), KASideBottom);
    // Near the bottom-left corner of the usable area: right, turned upward.
    EXPECT_EQ(make(makeView(), KASideAutomatic, {10, 40}, nullptr, screen)->side(), KASideRightTop);
    screen->visible = {0, 0, 1280, 800};
    window->setArrowHeight(10); // later changes keep the side
    EXPECT_EQ(window->side(), KASideBottom);

    // The scale factor is read afresh at each use.
    screen->scale = 2.0f;
    window->setArrowHeight(16);
    EXPECT_EQ(window->viewFrame(), (KARect{4, 4, 200, 100}));
    EXPECT_EQ(window->frame(), (KARect{536, 260, 208, 140}));

    QWidget parent;
    parent.setGeometry(100, 200, 400, 300); // content bottom-left at screen (100, 300)
    window = make(makeView(), KASideBottom, {50, 60}, &parent);
    EXPECT_EQ(window->frame(), (KARect{48, 240, 204, 120}));
    EXPECT_EQ(window->parentWindow(), &parent);
}

TEST(AttachedWindowSetters, ClampingAndSkipping)
{
    auto window = make(makeView(), KASideBottom);

    // Clamped so the outline stays drawable; the arrow base follows the corners.
    window->setBorderWidth(10);
    EXPECT_EQ(window->borderWidth(), 2.0f);
    window->setCornerRadius(200);
    EXPECT_EQ(window->cornerRadius(), 42.0f);
    EXPECT_EQ(window->arrowBaseWidth(), 20.0f); // re-applied: 104 - 42 - 42 = 20
    window->setCornerRadius(8);
    window->setArrowBaseWidth(500);
    EXPECT_EQ(window->arrowBaseWidth(), 88.0f);
    window->setArrowBaseWidth(20);
    window->setViewMargin(-1);
    EXPECT_EQ(window->frame(), (KARect{400, 384, 200, 116})); // the margin change re-lays out
    window->setViewMargin(2);
    EXPECT_EQ(window->frame(), (KARect{398, 380, 204, 120}));

    // Arrow flag: truncated toward zero, redraw only; the same value again
    // draws nothing new.
    const qint64 before = window->backgroundImage().cacheKey();
    window->setHasArrow(0.5f);
    EXPECT_EQ(window->hasArrow(), 0.0f);
    EXPECT_NE(window->backgroundImage().cacheKey(), before);
    EXPECT_EQ(window->frame(), (KARect{398, 380, 204, 120}));
    const qint64 cleared = window->backgroundImage().cacheKey();
    window->setHasArrow(0.0f);
    EXPECT_EQ(window->backgroundImage().cacheKey(), cleared);
    window->setHasArrow(1.0f);
    EXPECT_EQ(window->hasArrow(), 1.0f);
    window->setHasArrow(std::nanf(""));
    EXPECT_EQ(window->hasArrow(), 0.0f);
}

// Only a new colour rebuilds the picture, and only a window on screen is
// repainted at once; a hidden one paints the new picture when shown.
TEST(AttachedWindowDrawing, NewColoursRebuildAndRepaintWhenShown)
{
    ProbeWindow window(makeView());
    qint64 key = window.backgroundImage().cacheKey();
    int paints = window.paints;
    window.setBackgroundColor(window.windowBackgroundColor());
    window.setBorderColor(window.borderColor());
    window.setBackgroundImage(QImage());
    EXPECT_EQ(window.backgroundImage().cacheKey(), key);
    EXPECT_EQ(window.paints, paints);

    auto expectRebuilt = [&](QPoint at, QRgb expected, int newPaints) {
        EXPECT_NE(window.backgroundImage().cacheKey(), key);
        EXPECT_EQ(window.backgroundImage().pixel(at), expected);
        EXPECT_EQ(window.paints, paints + newPaints);
        key = window.backgroundImage().cacheKey();
        paints = window.paints;
    };
    window.setBorderColor(QColor(255, 0, 0));
    expectRebuilt({0, 68}, qRgb(255, 0, 0), 1);
    window.setBackgroundColor(QColor(0, 255, 0));
    expectRebuilt({102, 68}, qRgb(0, 255, 0), 1);
    window.orderOut(nullptr);
    EXPECT_FALSE(window.isVisible());
    QImage tile(8, 8, QImage::Format_ARGB32_Premultiplied);
    tile.fill(QColor(0, 0, 255));
    window.setBackgroundImage(tile);
    expectRebuilt({102, 68}, qRgb(0, 0, 255), 0);
    window.setBackgroundImage(tile); // the same image again
    EXPECT_EQ(window.backgroundImage().cacheKey(), key);
}

TEST(AttachedWindowResize, OnlyAResizeFromOutsideReLaysOut)
{
    QWidget *view = makeView();
    ProbeWindow window(view);
    // Our own placement's resize arrives during the layout and is ignored.
    window.resizeDuringLayout = true;
    window.layouts = 0;
    window.setArrowHeight(20);
    EXPECT_EQ(window.layouts, 1);
    window.resizeDuringLayout = false;
    window.setArrowHeight(16);

    // The view grew; a resize from outside brings the window round it.
    view->resize(300, 50);
    window.layouts = 0;
    window.resize(10, 10);
    QTRY_COMPARE(window.frame(), (KARect{348, 430, 304, 70}));
    EXPECT_GE(window.layouts, 1);
    EXPECT_EQ(window.geometry().size(), QSize(304, 70));
    EXPECT_EQ(window.backgroundImage().size(), QSize(304, 70));
}

TEST(AttachedWindowBehaviour, CloseGoesToTheParent)
{
    QApplication::setQuitOnLastWindowClosed(false);
    QWidget parent;
    parent.show();
    auto window = make(makeView(), KASideBottom, {10, 10}, &parent);
    window->orderFrontRegardless();
    window->performClose(nullptr);
    EXPECT_FALSE(parent.isVisible());
    EXPECT_TRUE(window->isVisible());

    // Without a parent it closes itself.
    auto alone = make(makeView(), KASideBottom);
    alone->orderFrontRegardless();
    alone->performClose(nullptr);
    EXPECT_FALSE(alone->isVisible());

    // A bubble attached to a bubble passes the close on.
    parent.show();
    auto outer = make(makeView(), KASideBottom, {10, 10}, window.get());
    outer->performClose(nullptr);
    EXPECT_FALSE(parent.isVisible());
}
