// The gradient window's picture, checked as plain arithmetic.
#include "WindowMath.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace cv::configurator::windows;

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
    // The highlight's alpha is the whole picture's; no size is too small.
    EXPECT_EQ(qAlpha(gradientPicture({10, 10}, QColor(255, 0, 0, 128)).pixel(5, 0)), 128);
    EXPECT_TRUE(gradientPicture({0, 10}, Qt::red).isNull());
}

