#include "KAGeometry.h"

#include "KAScreenSpace.h"

#include <QPainter>
#include <QPen>

#include <algorithm>
#include <cmath>

namespace ka {

float arrowInset(const KABubbleShape &shape, float s)
{
    const double c = shape.drawsRoundCornerBesideArrow ? shape.cornerRadius : 0.0f;
    return static_cast<float>(s * (shape.arrowBaseWidth * 0.5 + c));
}

KALayout layout(const KABubbleShape &shape, KASize viewSize, KAPoint p, int side, float distance,
                float s)
{
    const float w = viewSize.width;
    const float h = viewSize.height;
    const float margin = shape.viewMargin * s;

    KARect viewFrame{margin, margin, w, h};
    float W = w + 2 * margin;
    float H = h + 2 * margin;

    // Room for the arrow on the edge that carries it; kept even without an
    // arrow so that hiding the arrow does not move the body.
    const float A = s * shape.arrowHeight;
    if (isLeftGroup(side)) {
        W += A;
    } else if (isRightGroup(side)) {
        viewFrame.x += A;
        W += A;
    } else if (isBottomGroup(side)) {
        H += A;
    } else if (isTopGroup(side)) {
        viewFrame.y += A;
        H += A;
    }

    const float d = distance;
    const float i = arrowInset(shape, s);
    float x = p.x;
    float y = p.y;
    switch (side) {
    case KASideLeft:        x = p.x - W - d;                          y = static_cast<float>(p.y - H * 0.5); break;
    case KASideBottom:      x = static_cast<float>(p.x - W * 0.5);    y = p.y - H - d; break;
    case KASideRight:       x = p.x + d;                              y = static_cast<float>(p.y - H * 0.5); break;
    case KASideTop:         x = static_cast<float>(p.x - W * 0.5);    y = p.y + d; break;
    case KASideLeftTop:     x = p.x - W - d;                          y = p.y - i; break;
    case KASideLeftBottom:  x = p.x - W - d;                          y = p.y - (H - i); break;
    case KASideRightTop:    x = p.x + d;                              y = p.y - i; break;
    case KASideRightBottom: x = p.x + d;                              y = p.y - (H - i); break;
    case KASideTopLeft:     x = p.x - (W - i);                        y = p.y + d; break;
    case KASideTopRight:    x = p.x - i;                              y = p.y + d; break;
    case KASideBottomLeft:  x = p.x - (W - i);                        y = p.y - H - d; break;
    case KASideBottomRight: x = p.x - i;                              y = p.y - H - d; break;
    default: break; // bottom-left corner at the point
    }
    return {viewFrame, {x, y, W, H}};
}

int bestSideForAutomaticPosition(const KABubbleShape &shape, KASize viewSize, KAPoint p,
                                 float distance, float s, KARect visible, KARect bounds)
{
    const float TW = viewSize.width + 2 * (shape.viewMargin * s);
    const float TH = viewSize.height + 2 * (shape.viewMargin * s);
    const float E = s * shape.arrowHeight + distance;
    const float vx = visible.x, vy = visible.y, vw = visible.width, vh = visible.height;

    // Bottom and left accept an exact fit, right and top want strict room.
    int side;
    if (vy <= p.y - TH - E)
        side = KASideBottom;
    else if (p.x + TW + E < vx + vw)
        side = KASideRight;
    else if (vx <= p.x - TW - E)
        side = KASideLeft;
    else if (vy + vh > p.y + TH + E)
        side = KASideTop;
    else
        side = KASideBottom;

    // A centred body that would cross an edge of the bounds turns into a
    // corner side, when the corner placement fits the visible area.
    const float i = arrowInset(shape, s);
    const float bx = bounds.x, by = bounds.y, bw = bounds.width, bh = bounds.height;
    if (side == KASideBottom || side == KASideTop) {
        const bool bottom = side == KASideBottom;
        if (bx > p.x - TW * 0.5) {
            if (vx + vw > p.x + TW - i)
                side = bottom ? KASideBottomRight : KASideTopRight;
        } else if (p.x + TW * 0.5 < bx + bw) {
            // fits centred
        } else if (p.x - TW + i >= vx) {
            side = bottom ? KASideBottomLeft : KASideTopLeft;
        }
    } else {
        const bool left = side == KASideLeft;
        if (by > p.y - TH * 0.5) {
            if (vy + vh > p.y + TH - i)
                side = left ? KASideLeftTop : KASideRightTop;
        } else if (p.y + TH * 0.5 < by + bh) {
            // fits centred
        } else if (p.y - TH + i >= vy) {
            side = left ? KASideLeftBottom : KASideRightBottom;
        }
    }
    return side;
}

float clampedCornerRadius(const KABubbleShape &shape, KARect viewFrame, float value)
{
    const float m = std::min(viewFrame.width, viewFrame.height);
    const float limit = static_cast<float>(
        (double(m) + 2.0 * shape.viewMargin - shape.arrowBaseWidth) * 0.5);
    const float bounded = limit < value ? limit : value;
    return bounded > 0.0f ? bounded : 0.0f;
}

float clampedArrowBaseWidth(const KABubbleShape &shape, KARect viewFrame, float value)
{
    const float m = std::min(viewFrame.width, viewFrame.height);
    float limit = static_cast<float>(double(m) + 2.0 * shape.viewMargin - shape.cornerRadius);
    if (shape.drawsRoundCornerBesideArrow)
        limit -= shape.cornerRadius;
    return limit < value ? limit : value;
}

bool cornerIsRounded(const KABubbleShape &shape, int side, KACorner corner, float s)
{
    if (!(s * shape.cornerRadius > 0.0f))
        return false;
    if (shape.drawsRoundCornerBesideArrow)
        return true;
    switch (corner) {
    case KACorner::TopLeft: return side != KASideRightBottom && side != KASideBottomRight;
    case KACorner::TopRight: return side != KASideLeftBottom && side != KASideBottomLeft;
    case KACorner::BottomRight: return side != KASideLeftTop && side != KASideTopLeft;
    case KACorner::BottomLeft: return side != KASideRightTop && side != KASideTopRight;
    }
    return true;
}

void appendArcFromPoint(QPainterPath &path, QPointF p1, QPointF p2, qreal radius)
{
    const QPointF p0 = path.currentPosition();
    const QPointF a = p0 - p1;
    const QPointF b = p2 - p1;
    const qreal la = std::hypot(a.x(), a.y());
    const qreal lb = std::hypot(b.x(), b.y());
    const qreal cross = a.x() * b.y() - a.y() * b.x();
    if (!(radius > 0.0) || la == 0.0 || lb == 0.0 || std::abs(cross) <= 1e-12 * la * lb) {
        path.lineTo(p1);
        return;
    }
    const QPointF u = a / la;
    const QPointF v = b / lb;
    // theta: the angle at p1 between the two lines.
    const qreal theta = std::acos(std::clamp(u.x() * v.x() + u.y() * v.y(), -1.0, 1.0));
    const qreal tangent = radius / std::tan(theta / 2);
    const QPointF t1 = p1 + u * tangent;
    const QPointF t2 = p1 + v * tangent;
    QPointF bisector = u + v;
    bisector /= std::hypot(bisector.x(), bisector.y());
    const QPointF centre = p1 + bisector * (radius / std::sin(theta / 2));

    const qreal start = std::atan2(t1.y() - centre.y(), t1.x() - centre.x());
    qreal sweep = M_PI - theta;
    if (cross > 0) // turning clockwise (y up) from the first line to the second
        sweep = -sweep;

    path.lineTo(t1);
    // Cubic segments of at most a quarter circle each.
    const int segments = std::max(1, int(std::ceil(std::abs(sweep) / (M_PI / 2) - 1e-9)));
    const qreal step = sweep / segments;
    const qreal k = 4.0 / 3.0 * std::tan(step / 4) * radius;
    for (int n = 0; n < segments; ++n) {
        const qreal a0 = start + n * step;
        const qreal a1 = a0 + step;
        const QPointF q0 = centre + radius * QPointF(std::cos(a0), std::sin(a0));
        const QPointF q3 = n + 1 == segments ? t2
                                              : centre + radius * QPointF(std::cos(a1), std::sin(a1));
        const QPointF c1 = q0 + k * QPointF(-std::sin(a0), std::cos(a0));
        const QPointF c2 = q3 - k * QPointF(-std::sin(a1), std::cos(a1));
        path.cubicTo(c1, c2, q3);
    }
}

void appendArrowToPath(QPainterPath &path, const KABubbleShape &shape, int side, float s)
{
    if (!shape.hasArrow)
        return;
    const float Bw = s * shape.arrowBaseWidth;
    const float Bh = static_cast<float>(Bw * 0.5);
    const float Ah = s * shape.arrowHeight;
    const float cx = static_cast<float>(path.currentPosition().x());
    const float cy = static_cast<float>(path.currentPosition().y());
    if (isLeftGroup(side)) {
        path.lineTo(cx + Ah, cy - Bh);
        path.lineTo(cx, cy - Bw);
    } else if (isRightGroup(side)) {
        path.lineTo(cx - Ah, cy + Bh);
        path.lineTo(cx, cy + Bw);
    } else if (isTopGroup(side)) {
        path.lineTo(cx - Bh, cy - Ah);
        path.lineTo(cx - Bw, cy);
    } else if (isBottomGroup(side)) {
        path.lineTo(cx + Bh, cy + Ah);
        path.lineTo(cx + Bw, cy);
    }
}

QPainterPath backgroundPath(const KABubbleShape &shape, KARect viewFrame, int side, float s)
{
    const float R = s * shape.cornerRadius;
    const float Bw = s * shape.arrowBaseWidth;
    const float Bh = static_cast<float>(Bw * 0.5);

    // The body: the view frame grown by the scaled margin. The view frame is
    // already in window units, so its edges are used as they are; scaling
    // them again would push the outline out of the window at any scale but 1.
    const float margin = shape.viewMargin * s;
    const float X = viewFrame.x - margin;
    const float Y = viewFrame.y - margin;
    const float Wb = viewFrame.width + 2 * margin;
    const float Hb = viewFrame.height + 2 * margin;
    const float minX = X;
    const float midX = static_cast<float>(X + Wb * 0.5);
    const float maxX = X + Wb;
    const float minY = Y;
    const float midY = static_cast<float>(Y + Hb * 0.5);
    const float maxY = Y + Hb;

    const bool topLeft = cornerIsRounded(shape, side, KACorner::TopLeft, s);
    const bool topRight = cornerIsRounded(shape, side, KACorner::TopRight, s);
    const bool bottomRight = cornerIsRounded(shape, side, KACorner::BottomRight, s);
    const bool bottomLeft = cornerIsRounded(shape, side, KACorner::BottomLeft, s);

    QPainterPath path;
    path.setFillRule(Qt::WindingFill);

    // Top edge, left to right.
    const float topStart = topLeft ? minX + R : minX;
    const float topEnd = topRight ? maxX - R : maxX;
    path.moveTo(topStart, maxY);
    if (side == KASideBottomRight) {
        appendArrowToPath(path, shape, side, s);
    } else if (side == KASideBottom) {
        path.lineTo(midX - Bh, maxY);
        appendArrowToPath(path, shape, side, s);
    } else if (side == KASideBottomLeft) {
        path.lineTo(topEnd - Bw, maxY);
        appendArrowToPath(path, shape, side, s);
    }
    path.lineTo(topEnd, maxY);
    if (topRight)
        appendArcFromPoint(path, QPointF(maxX, maxY), QPointF(maxX, maxY - R), R);

    // Right edge, downward.
    const float rightEnd = bottomRight ? minY + R : minY;
    if (side == KASideLeftBottom) {
        appendArrowToPath(path, shape, side, s);
    } else if (side == KASideLeft) {
        path.lineTo(maxX, midY + Bh);
        appendArrowToPath(path, shape, side, s);
    } else if (side == KASideLeftTop) {
        path.lineTo(maxX, rightEnd + Bw);
        appendArrowToPath(path, shape, side, s);
    }
    path.lineTo(maxX, rightEnd);
    if (bottomRight)
        appendArcFromPoint(path, QPointF(maxX, minY), QPointF(maxX - R, minY), R);

    // Bottom edge, right to left.
    const float bottomEnd = bottomLeft ? minX + R : minX;
    if (side == KASideTopLeft) {
        appendArrowToPath(path, shape, side, s);
    } else if (side == KASideTop) {
        path.lineTo(midX + Bh, minY);
        appendArrowToPath(path, shape, side, s);
    } else if (side == KASideTopRight) {
        path.lineTo(bottomEnd + Bw, minY);
        appendArrowToPath(path, shape, side, s);
    }
    path.lineTo(bottomEnd, minY);
    if (bottomLeft)
        appendArcFromPoint(path, QPointF(minX, minY), QPointF(minX, minY + R), R);

    // Left edge, upward.
    const float leftEnd = topLeft ? maxY - R : maxY;
    if (side == KASideRightTop) {
        appendArrowToPath(path, shape, side, s);
    } else if (side == KASideRight) {
        path.lineTo(minX, midY - Bh);
        appendArrowToPath(path, shape, side, s);
    } else if (side == KASideRightBottom) {
        path.lineTo(minX, leftEnd - Bw);
        appendArrowToPath(path, shape, side, s);
    }
    path.lineTo(minX, leftEnd);
    if (topLeft)
        appendArcFromPoint(path, QPointF(minX, maxY), QPointF(minX + R, maxY), R);

    path.closeSubpath();
    return path;
}

QImage renderBackground(const KABubbleShape &shape, const QPainterPath &outline, KASize windowSize,
                        const QBrush &fill, float s, qreal devicePixelRatio)
{
    // An absurd size (say from an unclamped arrow height) gives no picture
    // rather than an allocation failure or an integer overflow.
    constexpr double maximumSide = 16384.0;
    const double dpr = devicePixelRatio > 0 ? devicePixelRatio : 1.0;
    const double pw = std::ceil(double(windowSize.width) * dpr);
    const double ph = std::ceil(double(windowSize.height) * dpr);
    if (!(pw >= 1.0 && ph >= 1.0 && pw <= maximumSide && ph <= maximumSide))
        return {};

    QImage image(int(pw), int(ph), QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        return {};
    image.setDevicePixelRatio(dpr);
    image.fill(Qt::transparent);

    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setTransform(KAScreenSpace::flipTransform(windowSize.height));
    painter.save();
    painter.setClipPath(outline);

    QBrush brush = fill;
    if (brush.style() == Qt::TexturePattern) {
        // Keep a pattern image upright, tiled from the bottom-left corner.
        brush.setTransform(QTransform::fromScale(1, -1));
    }
    painter.fillPath(outline, brush);

    if (shape.borderWidth > 0.0f) {
        // Only the inner half of the stroke survives the clip.
        QPen pen(shape.borderColor);
        pen.setWidthF(static_cast<float>(2.0 * shape.borderWidth * s));
        pen.setJoinStyle(Qt::RoundJoin);
        painter.strokePath(outline, pen);
    }
    painter.restore();
    painter.end();
    return image;
}

} // namespace ka
