// One real bubble on an X server: it must appear where screen space says,
// with its arrow tip on the point. The screenshot is kept in the build
// folder for a look by eye.
#include "KAAttachedWindow.h"

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QTest>

namespace {

bool near(QRgb pixel, QColor expected, int tolerance = 24)
{
    return std::abs(qRed(pixel) - expected.red()) <= tolerance
        && std::abs(qGreen(pixel) - expected.green()) <= tolerance
        && std::abs(qBlue(pixel) - expected.blue()) <= tolerance;
}

} // namespace

TEST(AttachedWindowOnScreen, AppearsAtThePointAndShowsTheBubble)
{
    QScreen *screen = QGuiApplication::primaryScreen();
    ASSERT_NE(screen, nullptr);
    const QRect desk = screen->geometry();
    ASSERT_EQ(desk.size(), QSize(1280, 800)) << "expects the 1280 x 800 test server";

    // A plain blue backdrop, so that everything not drawn by the bubble is
    // easy to tell apart.
    QWidget backdrop(nullptr, Qt::FramelessWindowHint);
    backdrop.setAutoFillBackground(true);
    QPalette palette = backdrop.palette();
    palette.setColor(QPalette::Window, QColor(0, 0, 200));
    backdrop.setPalette(palette);
    backdrop.setGeometry(desk);
    backdrop.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&backdrop));

    QLabel label(QStringLiteral("Backing up…"));
    label.setStyleSheet(QStringLiteral("color: white; font-size: 16px;"));
    label.setAlignment(Qt::AlignCenter);
    label.resize(200, 100);

    // Screen point (640, 400) is the middle of the screen, y up.
    KAAttachedWindow *bubble = KAAttachedWindow::create(&label, {640, 400}, KASideBottom);
    ASSERT_NE(bubble, nullptr);
    bubble->orderFrontRegardless();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(bubble));
    QTest::qWait(300);

    EXPECT_EQ(bubble->frame(), (ka::KARect{538, 280, 204, 120}));
    const QRect onScreen(538, 400, 204, 120); // the same frame in Qt's top-left space
    EXPECT_EQ(bubble->geometry(), onScreen);

    const QImage shot = screen->grabWindow(0).toImage().convertToFormat(QImage::Format_RGB32);
    const QString file = QStringLiteral(CV_BUILD_DIR "/attached_window_screenshot.png");
    EXPECT_TRUE(shot.save(file)) << file.toStdString();
    ASSERT_EQ(shot.size(), QSize(1280, 800));

    const QColor blue(0, 0, 200);
    const QColor white(255, 255, 255);
    const int bodyTop = onScreen.top() + 16;
    const int middle = bodyTop + 52;
    // Around the window: the backdrop.
    EXPECT_TRUE(near(shot.pixel(onScreen.left() - 3, middle), blue));
    EXPECT_TRUE(near(shot.pixel(onScreen.right() + 3, middle), blue));
    EXPECT_TRUE(near(shot.pixel(640, onScreen.bottom() + 3), blue));
    // The border and the dark fill (their pixels are the picture test's).
    EXPECT_TRUE(near(shot.pixel(onScreen.left(), middle), white));
    const QRgb fill = shot.pixel(onScreen.left() + 12, onScreen.bottom() - 12);
    EXPECT_LT(qRed(fill), 120);
    // The arrow reaches up to the point; beside it nothing of the bubble.
    EXPECT_FALSE(near(shot.pixel(640, onScreen.top() + 6), blue, 60));
    const QRgb beside = shot.pixel(560, onScreen.top() + 6);
    EXPECT_FALSE(near(beside, white, 60));
    EXPECT_NE(beside, fill);
    // Outside the outline the backdrop shows, also on this server, where no
    // compositing manager blends the window's transparent pixels (they would
    // show black).
    EXPECT_TRUE(near(beside, blue)) << std::hex << beside;
    EXPECT_TRUE(near(shot.pixel(onScreen.left(), bodyTop), blue)) << std::hex << shot.pixel(onScreen.left(), bodyTop);

    bubble->orderOut(nullptr);
    delete bubble;
}
