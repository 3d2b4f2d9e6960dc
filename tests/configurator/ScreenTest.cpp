// The main window and its day bubble on a real X server, saved as pictures
// for a person to look at.
#include "ConfiguratorTestSupport.h"

#include "Home.h"
#include "KAAttachedWindow.h"
#include "ScreenGrab.h"

#include <QComboBox>
#include <QDir>
#include <QTimeEdit>
#include <QTest>
#include <gtest/gtest.h>

using namespace cv::test;

TEST(ConfiguratorScreen, MainWindowAndDayBubble)
{
    WindowFixture f;
    QDir().mkpath(cv::supportFolder());
    f.controller->awakeFromNib();
    f.window()->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(f.window()));

    // Configured and saved.
    f.fillIn(f.home.path(), {"mondayButton", "wednesdayButton", "fridayButton"}, QTime(21, 30));
    f.controller->save(nullptr);
    ASSERT_TRUE(f.dialogs.alerts.isEmpty()) << qPrintable(f.dialogs.alerts.join(QLatin1Char('\n')));
    EXPECT_TRUE(grabScreen(f.window()->frameGeometry()).save(QStringLiteral(CV_SCREENSHOT_DIR "/main_window.png")));

    for (const char *day : {"mondayButton", "wednesdayButton", "fridayButton"})
        f.day(day)->setChecked(false);
    f.destination()->setText(QStringLiteral("/media/backup"));
    ASSERT_FALSE(f.controller->checkSelections());
    KAAttachedWindow *bubble = f.controller->dayBubble();
    ASSERT_NE(bubble, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(bubble));
    // The arrow points at the anchor beside the day boxes.
    const QWidget *anchor = f.window()->findChild<QWidget *>(QStringLiteral("notificationButton"));
    const QPoint anchorCentre = anchor->mapToGlobal(anchor->rect().center());
    const QRect bubbleRect = bubble->frameGeometry();
    EXPECT_LE(bubbleRect.right(), anchorCentre.x() + 1);
    EXPECT_NEAR(bubbleRect.center().y(), anchorCentre.y(), 2);

    const QRect area = f.window()->frameGeometry().united(bubbleRect).adjusted(-8, -8, 8, 8);
    EXPECT_TRUE(grabScreen(area).save(QStringLiteral(CV_SCREENSHOT_DIR "/day_bubble.png")));
}
