#include "WindowMath.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace cv::configurator::windows {

unsigned texturedStyleMask(unsigned styleMask)
{
    return styleMask | kTexturedBackgroundWindowMask;
}

QSizeF gradientMinSize(QSizeF requested)
{
    return {std::max(kMinimumWindowSide, double(requested.width())),
            std::max(kMinimumWindowSide, double(requested.height()))};
}

GradientInfo *makeGradientInfo(float alpha)
{
    // Zero saturation makes hue irrelevant: red = green = blue = brightness.
    auto *info = static_cast<GradientInfo *>(std::malloc(sizeof(GradientInfo)));
    const float start = 0.9f;
    const float end = 0.7f;
    const float values[8] = {start, start, start, alpha, end, end, end, alpha};
    std::copy(std::begin(values), std::end(values), info->components);
    return info;
}

void linearColorBlendFunction(void *info, const float *in, float *out)
{
    const float *c = static_cast<const GradientInfo *>(info)->components;
    const float t = in[0];
    for (int i = 0; i < 4; ++i) {
        const double startPart = (1.0 - t) * c[i];
        const float endPart = t * c[i + 4];
        out[i] = float(startPart + endPart);
    }
}

void linearColorReleaseInfoFunction(void *info)
{
    std::free(info);
}

float gradientRowInput(int rowFromBottom, int height)
{
    if (height <= 1)
        return 0.0f;
    return float(rowFromBottom - 1) / float(height - 1);
}

namespace {

int channel(float value)
{
    return std::clamp(int(std::lround(value * 255.0f)), 0, 255);
}

} // namespace

QImage gradientPicture(QSize size, const QColor &highlight)
{
    if (size.width() <= 0 || size.height() <= 0)
        return {};
    QImage image(size, QImage::Format_ARGB32);
    const int height = size.height();
    const QColor line = highlight.toRgb();
    image.fill(line); // row 0 keeps it; the rows above are painted over

    GradientInfo *info = makeGradientInfo(float(line.alphaF()));
    for (int row = 1; row < height; ++row) {
        const float t = gradientRowInput(row, height);
        float rgba[4];
        linearColorBlendFunction(info, &t, rgba);
        const QRgb pixel = qRgba(channel(rgba[0]), channel(rgba[1]), channel(rgba[2]), channel(rgba[3]));
        // The image is stored top-down: row r from the bottom is scan line h-1-r.
        auto *scan = reinterpret_cast<QRgb *>(image.scanLine(height - 1 - row));
        std::fill(scan, scan + size.width(), pixel);
    }
    linearColorReleaseInfoFunction(info);
    return image;
}

QRectF flipRect(const QRectF &rect, qreal base)
{
    return {rect.x(), base - rect.y() - rect.height(), rect.width(), rect.height()};
}

QRectF frameForViewSize(const QRectF &windowFrame, qreal contentHeight, QSizeF viewSize)
{
    const qreal decoration = windowFrame.height() - contentHeight;
    const qreal newHeight = decoration + viewSize.height();
    const qreal newWidth = viewSize.width();
    const qreal newY = windowFrame.y() + windowFrame.height() - newHeight;
    return {windowFrame.x(), newY, newWidth, newHeight};
}

} // namespace cv::configurator::windows
