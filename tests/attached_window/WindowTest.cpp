// KAAttachedWindow as a window, on the offscreen platform: creation, the
// setters' rules, colours, redrawing and resize handling.
#include "KAAttachedWindow.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QResizeEvent>
#include <QSignalSpy>
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

std::unique_ptr<QWidget> makeView(int w = 200, int h = 100)
{
    auto view = std::make_unique<QWidget>();
    view->resize(w, h);
    return view;
}

std::unique_ptr<KAAttachedWindow> make(QWidget *view, int side, QPointF point = {500, 500},
                                       QWidget *parent = nullptr,
                                       std::shared_ptr<FakeScreen> screen = std::make_shared<FakeScreen>())
{
    return std::unique_ptr<KAAttachedWindow>(
        KAAttachedWindow::create(view, point, parent, side, 0.0f, std::move(screen)));
}

// Counts layouts and paints; optionally delivers a resize in the middle of
// each layout, as a platform that reports frame changes at once would.
class ProbeWindow : public KAAttachedWindow
{
public:
    ProbeWindow(QWidget *view, std::shared_ptr<KAScreenSpace> screen)
        : KAAttachedWindow(view, {500, 500}, nullptr, KASideBottom, 0.0f, std::move(screen))
    {
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

TEST(AttachedWindowCreate, NullViewGivesNoWindow)
{
    EXPECT_EQ(KAAttachedWindow::create(nullptr, {1, 1}), nullptr);
    EXPECT_EQ(KAAttachedWindow::create(nullptr, {1, 1}, KASideLeft), nullptr);
    EXPECT_EQ(KAAttachedWindow::create(nullptr, {1, 1}, static_cast<QWidget *>(nullptr)), nullptr);
    EXPECT_EQ(KAAttachedWindow::create(nullptr, {1, 1}, 3.0f), nullptr);
    EXPECT_EQ(KAAttachedWindow::create(nullptr, {1, 1}, KASideLeft, 3.0f), nullptr);
    EXPECT_EQ(KAAttachedWindow::create(nullptr, {1, 1}, static_cast<QWidget *>(nullptr), 3.0f), nullptr);
    EXPECT_EQ(KAAttachedWindow::create(nullptr, {1, 1}, nullptr, KASideLeft, 3.0f), nullptr);
}

TEST(AttachedWindowCreate, DefaultsPlacementAndWindowSettings)
{
    auto view = makeView();
    auto window = make(view.get(), KASideBottom);
    ASSERT_TRUE(window);
    EXPECT_EQ(window->hasArrow(), 1.0f);
    EXPECT_EQ(window->windowBackgroundColor().color(), QColor::fromRgbF(0.1f, 0.1f, 0.1f, 0.75f));
    EXPECT_EQ(window->frame(), (KARect{398, 380, 204, 120}));
    EXPECT_EQ(window->viewFrame(), (KARect{2, 2, 200, 100}));
    // Mirrored about y = 800: the frame's top edge 500 is Qt's y 300, and
    // the view sits 2 units in from the bottom of the window.
    EXPECT_EQ(window->geometry(), QRect(398, 300, 204, 120));
    EXPECT_EQ(view->parentWidget(), window.get());
    EXPECT_EQ(view->geometry(), QRect(2, 18, 200, 100));
    EXPECT_EQ(window->backgroundImage().size(), QSize(204, 120));

    EXPECT_TRUE(window->isWindow());
    EXPECT_TRUE(window->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(window->windowFlags() & Qt::WindowType_Mask, Qt::Tool); // no task-bar entry
    EXPECT_TRUE(window->testAttribute(Qt::WA_TranslucentBackground));
    EXPECT_TRUE(window->canBecomeKeyWindow());
    EXPECT_FALSE(window->canBecomeMainWindow());
    EXPECT_TRUE(window->isExcludedFromWindowsMenu());
    EXPECT_FALSE(window->isVisible());

    auto rightTop = make(makeView().release(), KASideRightTop);
    EXPECT_EQ(rightTop->frame(), (KARect{500, 482, 220, 104}));
    EXPECT_EQ(rightTop->viewFrame(), (KARect{18, 2, 200, 100}));
}

TEST(AttachedWindowCreate, ViewIsGivenBackOnDestruction)
{
    auto view = makeView();
    QPointer<QWidget> watch(view.get());
    make(view.get(), KASideTop).reset();
    ASSERT_TRUE(watch);
    EXPECT_EQ(view->parentWidget(), nullptr);
    // And it can be shown in a new bubble.
    auto again = make(view.get(), KASideTop);
    EXPECT_EQ(view->parentWidget(), again.get());
}

TEST(AttachedWindowCreate, AutomaticSideAndScale)
{
    auto screen = std::make_shared<FakeScreen>();
    // Room below: bottom, chosen once.
    auto view = makeView();
    auto window = make(view.get(), KASideAutomatic, {640, 400}, nullptr, screen);
    EXPECT_EQ(window->side(), KASideBottom);
    // Near the bottom-left corner of the usable area: right, turned upward.
    auto corner = make(makeView().release(), KASideAutomatic, {10, 40}, nullptr, screen);
    EXPECT_EQ(corner->side(), KASideRightTop);
    screen->visible = {0, 0, 1280, 800};
    window->setArrowHeight(10); // later changes keep the side
    EXPECT_EQ(window->side(), KASideBottom);

    // The scale factor is read afresh at each use.
    screen->scale = 2.0f;
    EXPECT_EQ(window->_arrowInset(), 36.0f);
    window->setArrowHeight(16);
    EXPECT_EQ(window->viewFrame(), (KARect{4, 4, 200, 100}));
    EXPECT_EQ(window->frame(), (KARect{536, 260, 208, 140}));
}

TEST(AttachedWindowCreate, PointInParentWindowCoordinates)
{
    auto screen = std::make_shared<FakeScreen>();
    QWidget parent;
    parent.setGeometry(100, 200, 400, 300); // content bottom-left at screen (100, 300)
    auto window = make(makeView().release(), KASideBottom, {50, 60}, &parent, screen);
    EXPECT_EQ(window->frame(), (KARect{48, 240, 204, 120}));
    EXPECT_EQ(window->parentWindow(), &parent);
}

TEST(AttachedWindowSetters, ClampingAndSkipping)
{
    auto view = makeView();
    auto window = make(view.get(), KASideBottom);

    window->setBorderWidth(10);
    EXPECT_EQ(window->borderWidth(), 2.0f);
    window->setBorderWidth(1.5f);
    EXPECT_EQ(window->borderWidth(), 1.5f);

    window->setViewMargin(-1);
    EXPECT_EQ(window->viewMargin(), 0.0f);
    // The margin change ends in a re-layout.
    EXPECT_EQ(window->frame(), (KARect{400, 384, 200, 116}));
    EXPECT_EQ(window->borderWidth(), 1.5f); // not reduced by the smaller margin
    window->setViewMargin(2);

    window->setCornerRadius(200);
    EXPECT_EQ(window->cornerRadius(), 42.0f);
    EXPECT_EQ(window->arrowBaseWidth(), 20.0f); // re-applied: 104 - 42 - 42 = 20
    window->setCornerRadius(-4);
    EXPECT_EQ(window->cornerRadius(), 0.0f);
    window->setCornerRadius(8);

    window->setArrowBaseWidth(500);
    EXPECT_EQ(window->arrowBaseWidth(), 88.0f);
    window->setDrawsRoundCornerBesideArrow(0);
    window->setArrowBaseWidth(500);
    EXPECT_EQ(window->arrowBaseWidth(), 96.0f); // the corner beside the arrow is square
    window->setDrawsRoundCornerBesideArrow(1);
    window->setArrowBaseWidth(20);

    window->setArrowHeight(-30); // not clamped
    EXPECT_EQ(window->arrowHeight(), -30.0f);
    window->setArrowHeight(16);
    EXPECT_EQ(window->frame(), (KARect{398, 380, 204, 120}));

    // Arrow flag: truncated toward zero, redraw only.
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

    window->setDrawsRoundCornerBesideArrow(0.9f);
    EXPECT_EQ(window->drawsRoundCornerBesideArrow(), 0.0f);
}

TEST(AttachedWindowColours, SameColourDoesNotRebuild)
{
    auto window = make(makeView().release(), KASideBottom);
    qint64 key = window->backgroundImage().cacheKey();

    window->setBackgroundColor(window->windowBackgroundColor());
    window->setBorderColor(window->borderColor());
    window->setBackgroundImage(QImage());
    EXPECT_EQ(window->backgroundImage().cacheKey(), key);

    window->setBorderColor(QColor(255, 0, 0));
    EXPECT_NE(window->backgroundImage().cacheKey(), key);
    EXPECT_EQ(window->backgroundImage().pixel(0, 68), qRgb(255, 0, 0));

    key = window->backgroundImage().cacheKey();
    window->setBackgroundColor(QColor(0, 255, 0));
    EXPECT_NE(window->backgroundImage().cacheKey(), key);
    EXPECT_EQ(window->backgroundImage().pixel(102, 68), qRgb(0, 255, 0));

    QImage tile(8, 8, QImage::Format_ARGB32_Premultiplied);
    tile.fill(QColor(0, 0, 255));
    window->setBackgroundImage(tile);
    EXPECT_EQ(window->backgroundImage().pixel(102, 68), qRgb(0, 0, 255));
    key = window->backgroundImage().cacheKey();
    window->setBackgroundImage(tile); // the same image again
    EXPECT_EQ(window->backgroundImage().cacheKey(), key);
}

TEST(AttachedWindowRedraw, OnlyAVisibleWindowIsRedrawnAtOnce)
{
    auto screen = std::make_shared<FakeScreen>();
    ProbeWindow window(makeView().release(), screen);
    window.setBorderColor(Qt::red);
    EXPECT_EQ(window.paints, 0);
    EXPECT_EQ(window.backgroundImage().pixel(0, 68), qRgb(255, 0, 0));

    window.orderFrontRegardless();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QCoreApplication::processEvents();
    const int shown = window.paints;
    window.setBorderColor(Qt::blue);
    EXPECT_EQ(window.paints, shown + 1);

    window.orderOut(nullptr);
    EXPECT_FALSE(window.isVisible());
    const int hidden = window.paints;
    window.setBorderColor(Qt::green);
    EXPECT_EQ(window.paints, hidden);
}

TEST(AttachedWindowResize, ResizeDuringLayoutDoesNothing)
{
    auto screen = std::make_shared<FakeScreen>();
    ProbeWindow window(makeView().release(), screen);
    window.orderFrontRegardless();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QCoreApplication::processEvents();

    window.resizeDuringLayout = true;
    window.layouts = 0;
    window.setArrowHeight(20);
    EXPECT_EQ(window.layouts, 1);
    window.resizeDuringLayout = false;
}

TEST(AttachedWindowResize, ResizeFromOutsideReLaysOutAroundThePoint)
{
    auto screen = std::make_shared<FakeScreen>();
    auto view = makeView();
    ProbeWindow window(view.get(), screen);
    window.orderFrontRegardless();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QCoreApplication::processEvents();

    // The view grew; a resize from outside brings the window round it.
    view->resize(300, 50);
    window.layouts = 0;
    window.resize(10, 10);
    QTRY_COMPARE(window.frame(), (KARect{348, 430, 304, 70}));
    EXPECT_GE(window.layouts, 1);
    EXPECT_EQ(window.geometry().size(), QSize(304, 70));
    EXPECT_EQ(window.backgroundImage().size(), QSize(304, 70));
}

TEST(AttachedWindowBehaviour, CloseAndMenuValidationGoToTheParent)
{
    QApplication::setQuitOnLastWindowClosed(false);
    QWidget parent;
    parent.resize(300, 200);
    parent.show();
    auto window = make(makeView().release(), KASideBottom, {10, 10}, &parent);
    window->orderFrontRegardless();
    window->performClose(nullptr);
    EXPECT_FALSE(parent.isVisible());
    EXPECT_TRUE(window->isVisible());

    QAction enabled(QStringLiteral("a"));
    QAction disabled(QStringLiteral("b"));
    disabled.setEnabled(false);
    EXPECT_TRUE(window->validateMenuItem(&enabled));
    EXPECT_FALSE(window->validateMenuItem(&disabled));

    // Without a parent it closes itself.
    auto alone = make(makeView().release(), KASideBottom);
    alone->orderFrontRegardless();
    alone->performClose(nullptr);
    EXPECT_FALSE(alone->isVisible());

    // A bubble attached to a bubble passes the close on.
    QWidget host;
    host.show();
    auto inner = make(makeView().release(), KASideBottom, {10, 10}, &host);
    inner->orderFrontRegardless();
    auto outer = make(makeView().release(), KASideBottom, {10, 10}, inner.get());
    outer->performClose(nullptr);
    EXPECT_FALSE(host.isVisible());
}
