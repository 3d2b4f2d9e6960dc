#pragma once
// The bubble's geometry without a window: placement around the point, the
// automatic side, the clamping rules, the outline and its rendering.
//
// Everything is in screen space as the bubble understands it: origin at the
// bottom left, y growing upward. Lengths are single-precision; the few sums
// that are formed in double precision are marked where they happen, because
// the results must match to the last bit.

#include "KASide.h"

#include <QBrush>
#include <QColor>
#include <QImage>
#include <QPainterPath>
#include <QPointF>

namespace ka {

struct KAPoint {
    float x = 0.0f;
    float y = 0.0f;
    friend bool operator==(const KAPoint &, const KAPoint &) = default;
};

struct KASize {
    float width = 0.0f;
    float height = 0.0f;
    friend bool operator==(const KASize &, const KASize &) = default;
};

struct KARect {
    float x = 0.0f;
    float y = 0.0f;
    float width = 0.0f;
    float height = 0.0f;
    friend bool operator==(const KARect &, const KARect &) = default;
};

// The properties that shape the bubble, with their defaults.
struct KABubbleShape {
    float borderWidth = 2.0f;
    float viewMargin = 2.0f;
    float arrowBaseWidth = 20.0f;
    float arrowHeight = 16.0f;
    signed char hasArrow = 1;
    float cornerRadius = 8.0f;
    signed char drawsRoundCornerBesideArrow = 1;
    QColor borderColor = QColor(Qt::white);
};

struct KALayout {
    KARect viewFrame; // the view inside the window, window coordinates
    KARect frame;     // the window in screen space
};

// Distance from the end of the arrow-bearing edge to the arrow's tip on the
// corner sides. s is the screen's scale factor.
float arrowInset(const KABubbleShape &shape, float s);

// Places a view of the given size on a side of the screen point p.
KALayout layout(const KABubbleShape &shape, KASize viewSize, KAPoint p, int side, float distance,
                float s);

// The side (0 to 11) that fits best. visible is the usable area of the
// screen; bounds is the parent window's frame, or the visible area again.
int bestSideForAutomaticPosition(const KABubbleShape &shape, KASize viewSize, KAPoint p,
                                 float distance, float s, KARect visible, KARect bounds);

// The value cornerRadius and arrowBaseWidth setters store, given the view
// frame of the last layout.
float clampedCornerRadius(const KABubbleShape &shape, KARect viewFrame, float value);
float clampedArrowBaseWidth(const KABubbleShape &shape, KARect viewFrame, float value);

enum class KACorner { TopLeft, TopRight, BottomRight, BottomLeft };
bool cornerIsRounded(const KABubbleShape &shape, int side, KACorner corner, float s);

// A circular arc of the given radius tangent to the line from the path's
// current point to p1 and to the line from p1 to p2. A line leads from the
// current point to the first tangent point; the path ends on the second.
// Degenerate input (no radius, coincident or collinear points) appends a
// line to p1 instead.
void appendArcFromPoint(QPainterPath &path, QPointF p1, QPointF p2, qreal radius);

// Appends the arrow at the path's current point for the side's group, or
// nothing when the shape has no arrow.
void appendArrowToPath(QPainterPath &path, const KABubbleShape &shape, int side, float s);

// The bubble's outline in window coordinates (y up), traced clockwise.
QPainterPath backgroundPath(const KABubbleShape &shape, KARect viewFrame, int side, float s);

// Renders the bubble into a transparent image of the window's size: the fill
// clipped to the outline, then the doubled border stroke clipped to it, so
// that a border of borderWidth × s shows inside the edge.
// No picture (a null image) for an empty or absurdly large window.
QImage renderBackground(const KABubbleShape &shape, const QPainterPath &outline, KASize windowSize,
                        const QBrush &fill, float s, qreal devicePixelRatio = 1.0);

} // namespace ka
