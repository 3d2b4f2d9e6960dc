// The gradient window as the configurator's main window uses it: its style
// and minimum size, and its background following every resize, redrawn at
// once only during programmatic frame changes.
#include "TMGradientWindow.h"

#include <gtest/gtest.h>

#include <QTest>

using namespace cv::configurator::windows;

namespace {

// Records, for every resize, whether the redraw was forced.
class RecordingWindow : public TMGradientWindow
{
public:
    using TMGradientWindow::TMGradientWindow;
    QList<bool> forced;

protected:
    void windowDidResize() override
    {
        forced.append(isForcingDisplay());
        TMGradientWindow::windowDidResize();
    }
};

QImage background(const QWidget &window)
{
    return window.palette().brush(QPalette::Window).textureImage();
}

} // namespace

TEST(GradientWindow, StyleAndMinimumSizeWhicheverWayItIsMade)
{
    TMGradientWindow plain;
    TMGradientWindow four(QRectF(100, 100, 400, 300), 15, 2, true);
    TMGradientWindow flat(QRectF(100, 100, 400, 300), 15, 2, true, true);
    for (const TMGradientWindow *window : {&plain, &four, &flat}) {
        EXPECT_EQ(window->styleMask(), 271u);
        EXPECT_EQ(window->minimumSize(), QSize(150, 150));
    }
    plain.setMinSize({400, 90});
    EXPECT_EQ(plain.minimumSize(), QSize(400, 150));

    // An interface file sets its own minimum; showing raises it again.
    plain.setMinimumSize(40, 60);
    plain.show();
    EXPECT_EQ(plain.minimumSize(), QSize(150, 150));
}

TEST(GradientWindow, OnlyProgrammaticFrameChangesForceTheRedraw)
{
    RecordingWindow window(QRectF(100, 100, 400, 300), 15, 2, false);
    window.setScreenHeightForTesting(800);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    window.forced.clear();
    window.resize(450, 320); // as a user's drag would
    EXPECT_EQ(window.forced, QList<bool>{false});
    // What the window shows is the picture of the new size: the bottom line and the grey.
    const QImage shown = window.grab().toImage();
    ASSERT_EQ(shown.size(), QSize(450, 320));
    EXPECT_EQ(QColor(shown.pixel(100, 319)).rgb(), window.palette().color(QPalette::Active, QPalette::Highlight).rgb());
    EXPECT_EQ(qRed(shown.pixel(100, 318)), 230);

    window.forced.clear();
    window.setFrame(QRectF(50, 100, 500, 300), true, false);
    EXPECT_EQ(window.forced, QList<bool>{true});
    EXPECT_FALSE(window.isForcingDisplay());
    // Bottom-left space: the frame's top lies at 800 - 400.
    EXPECT_EQ(window.frameGeometry().topLeft(), QPoint(50, 400));
    EXPECT_EQ(window.frame(), QRectF(50, 100, 500, 300));

    // Animated: every intermediate size is forced, and the flag goes after.
    window.forced.clear();
    window.setFrame(QRectF(50, 100, 600, 400), true, true);
    EXPECT_TRUE(window.isForcingDisplay());
    QTRY_VERIFY_WITH_TIMEOUT(!window.isForcingDisplay(), 3000);
    ASSERT_FALSE(window.forced.isEmpty());
    EXPECT_FALSE(window.forced.contains(false));
    EXPECT_EQ(window.frame(), QRectF(50, 100, 600, 400));
    EXPECT_EQ(background(window).size(), window.size());
}

