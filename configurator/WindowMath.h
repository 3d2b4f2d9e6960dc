#pragma once
// The arithmetic of the configurator's secondary windows, kept apart from any
// widget so it can be checked without a display: the gradient background, the
// style and minimum-size rules of the gradient window, the preferences
// window's frame for a pane, and the flip between bottom-left screen space and
// Qt's top-left space.

#include <QColor>
#include <QImage>
#include <QRectF>
#include <QSizeF>

#include <array>

namespace cv::configurator::windows {

// Window style bits as the interface resources give them.
enum StyleMask : unsigned {
    kTitledWindowMask = 1,
    kClosableWindowMask = 2,
    kMiniaturizableWindowMask = 4,
    kResizableWindowMask = 8,
    kTexturedBackgroundWindowMask = 256,
};

// The gradient window always carries the textured-background bit.
unsigned texturedStyleMask(unsigned styleMask);

// Neither side of a gradient window's minimum size goes below 150.
inline constexpr double kMinimumWindowSide = 150.0;
QSizeF gradientMinSize(QSizeF requested);

// The colour block handed to the blend function: start RGBA, then end RGBA.
struct GradientInfo {
    float components[8];
};

// Start grey 0.9 and end grey 0.7 (hue 0, saturation 0), both with the
// highlight colour's alpha. The caller frees it through
// linearColorReleaseInfoFunction.
GradientInfo *makeGradientInfo(float alpha);

// The evaluator: out[i] = (1 - t) * start[i] + t * end[i] for the four
// components. (1 - t) * start is formed in double, t * end in float, the sum
// in double and stored as float; the picture depends on exactly this.
void linearColorBlendFunction(void *info, const float *in, float *out);
void linearColorReleaseInfoFunction(void *info);

// The input of the evaluator for a picture row. Rows are counted from the
// bottom; row 0 is the highlight line, rows 1 .. height-1 the gradient, each
// sampled at its lower edge: t = (row - 1) / (height - 1).
float gradientRowInput(int rowFromBottom, int height);

// The whole background picture for a window of this size: the bottom row in
// the highlight colour, the rows above it evaluated one by one.
QImage gradientPicture(QSize size, const QColor &highlight);

// Rectangles in bottom-left space (y grows upward) and Qt's top-left space,
// flipped about a base line: the screen's height, or a view's height.
QRectF flipRect(const QRectF &rect, qreal base);

// The preferences window's frame for a pane view, in bottom-left screen
// space: the top-left corner and the decoration height (title bar and
// toolbar) stay, the content takes the view's size.
QRectF frameForViewSize(const QRectF &windowFrame, qreal contentHeight, QSizeF viewSize);

} // namespace cv::configurator::windows
