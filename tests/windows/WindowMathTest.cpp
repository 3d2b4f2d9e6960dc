// The gradient window's rules and picture, and the preferences window's frame
// for a pane, checked as plain arithmetic.
#include "WindowMath.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace cv::configurator::windows;

TEST(GradientWindowRules, TexturedBitAndMinimumSizeOf150)
{
    EXPECT_EQ(texturedStyleMask(15), 271u);
    EXPECT_EQ(texturedStyleMask(271), 271u);
    EXPECT_EQ(gradientMinSize({100, 200}), QSizeF(150, 200));
    EXPECT_EQ(gradientMinSize({150.5, 149.9}), QSizeF(150.5, 150));
}

TEST(GradientBlend, GreyFromStartToEndKeepingTheAlphaAndTheMixedPrecisionBitForBit)
{
    // The start term in double, the end term in float, the sum in double.
    // An all-float or all-double version differs in the last bit for some
    // inputs; the picture must not.
    GradientInfo *info = makeGradientInfo(0.75f);
    int differsFromAllFloat = 0;
    for (int i = 0; i <= 1000; ++i) {
        const float t = float(i) / 1000.0f;
        float out[4];
        linearColorBlendFunction(info, &t, out);
        const float expected = float((1.0 - double(t)) * double(0.9f) + double(float(t * 0.7f)));
        EXPECT_EQ(std::memcmp(&out[0], &expected, sizeof(float)), 0) << "t = " << t;
        EXPECT_TRUE(out[1] == out[0] && out[2] == out[0] && out[3] == 0.75f) << "t = " << t;
        differsFromAllFloat += (1.0f - t) * 0.9f + t * 0.7f != expected;
    }
    EXPECT_GT(differsFromAllFloat, 0) << "the sample never tells the precisions apart";
    linearColorReleaseInfoFunction(info);
}

TEST(GradientPicture, RowsOfA500By300Picture)
{
    const QColor highlight(20, 110, 220);
    const QImage picture = gradientPicture({500, 300}, highlight);
    ASSERT_EQ(picture.size(), QSize(500, 300));

    // Scan line 299 is the bottom row: the highlight line, all across.
    for (int x : {0, 250, 499})
        EXPECT_EQ(picture.pixel(x, 299), highlight.rgba()) << x;
    // Row 1 from the bottom starts the grey at 0.9, the top row has nearly
    // reached 0.7: t = 298 / 299.
    EXPECT_EQ(picture.pixel(0, 298), qRgba(230, 230, 230, 255));
    EXPECT_EQ(picture.pixel(499, 0), qRgba(179, 179, 179, 255));
    EXPECT_FLOAT_EQ(gradientRowInput(150, 300), 149.0f / 299.0f);

    // Grey all the way, darkening upward, one colour per row.
    int previous = 256;
    for (int line = 298; line >= 0; --line) {
        const QRgb left = picture.pixel(0, line);
        EXPECT_EQ(picture.pixel(499, line), left) << line;
        EXPECT_TRUE(qRed(left) == qGreen(left) && qGreen(left) == qBlue(left)) << line;
        EXPECT_LE(qRed(left), previous) << line;
        previous = qRed(left);
    }
}

TEST(GradientPicture, TakesTheHighlightAlphaAndSurvivesTinySizes)
{
    const QImage picture = gradientPicture({10, 10}, QColor(255, 0, 0, 128));
    EXPECT_EQ(qAlpha(picture.pixel(5, 9)), 128);
    EXPECT_EQ(qAlpha(picture.pixel(5, 0)), 128);
    EXPECT_EQ(qRed(picture.pixel(5, 8)), 230);
    EXPECT_EQ(gradientPicture({10, 1}, Qt::red).pixel(3, 0), QColor(Qt::red).rgba());
    EXPECT_TRUE(gradientPicture({0, 10}, Qt::red).isNull());
}

TEST(PreferencesFrame, ATallerViewGrowsTheWindowDownwardAndTheTopStays)
{
    // Bottom-left space: a 300 x 250 frame whose content is 200 high (50 of
    // title bar and toolbar), top edge at 650.
    const QRectF window(100, 400, 300, 250);
    EXPECT_EQ(frameForViewSize(window, 200, {420, 500}), QRectF(100, 100, 420, 550));
    EXPECT_EQ(frameForViewSize(window, 200, {200, 80}), QRectF(100, 520, 200, 130));
}
