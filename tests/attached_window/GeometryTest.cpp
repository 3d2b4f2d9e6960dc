// The bubble's geometry without a window: placement, automatic side, outline
// and the rendered picture.
#include "KAGeometry.h"

#include <gtest/gtest.h>

#include <QPainterPath>

#include <algorithm>
#include <vector>

using namespace ka;

namespace {

const KASize kView{200, 100};
const KAPoint kPoint{500, 500};
const QColor kFill = QColor::fromRgbF(0.1f, 0.1f, 0.1f, 0.75f);

const KABubbleShape kDefaults;
const KABubbleShape kNoArrow{.hasArrow = 0};
const KABubbleShape kSquareBeside{.drawsRoundCornerBesideArrow = 0};

// The outline of the bubble placed on a side of kPoint.
QPainterPath pathFor(const KABubbleShape &sh, int side, float s = 1.0f)
{
    return backgroundPath(sh, layout(sh, kView, kPoint, side, 0.0f, s).viewFrame, side, s);
}

// End points of the path's segments, in order (a cubic counts once).
std::vector<QPointF> vertices(const QPainterPath &path, int *curves = nullptr)
{
    std::vector<QPointF> out;
    int count = 0;
    for (int i = 0; i < path.elementCount(); ++i) {
        if (path.elementAt(i).type == QPainterPath::CurveToElement) {
            ++count;
            i += 2;
        }
        out.push_back(path.elementAt(i));
    }
    if (curves)
        *curves = count;
    return out;
}

void expectVertices(const std::vector<QPointF> &got, const std::vector<QPointF> &expected)
{
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_NEAR(got[i].x(), expected[i].x(), 1e-4) << "vertex " << i;
        EXPECT_NEAR(got[i].y(), expected[i].y(), 1e-4) << "vertex " << i;
    }
}

QImage render(const KABubbleShape &sh, float s = 1.0f, const QBrush &fill = kFill)
{
    const KALayout placed = layout(sh, kView, kPoint, KASideBottom, 0.0f, s);
    return renderBackground(sh, pathFor(sh, KASideBottom, s), {placed.frame.width, placed.frame.height},
                            fill, s);
}

enum Pixel { White, Fill, Clear };

void expectPixels(const QImage &image, Pixel kind, std::initializer_list<QPoint> points)
{
    for (QPoint p : points) {
        const QColor c = image.pixelColor(p);
        const bool ok = kind == Clear   ? image.pixel(p) == 0u
                        : kind == White ? image.pixel(p) == 0xffffffffu
                                        : std::abs(c.alpha() - 191) <= 1 && std::abs(c.red() - 26) <= 2
                                              && c.red() == c.blue();
        EXPECT_TRUE(ok) << "kind " << kind << " at " << p.x() << "," << p.y();
    }
}

} // namespace

TEST(AttachedWindowLayout, FramesAndInsets)
{
    const struct {
        KABubbleShape shape;
        int side;
        float distance, s;
        KARect frame, viewFrame;
    } cases[] = {
        {kDefaults, KASideBottom, 0, 1, {398, 380, 204, 120}, {2, 2, 200, 100}},
        {kDefaults, KASideRightTop, 0, 1, {500, 482, 220, 104}, {18, 2, 200, 100}},
        {kSquareBeside, KASideRightTop, 0, 1, {500, 490, 220, 104}, {18, 2, 200, 100}},
        // Distance pushes the body away without scaling; the arrow room scales.
        {kDefaults, KASideBottom, 5, 2, {396, 355, 208, 140}, {4, 4, 200, 100}},
        // Hiding the arrow keeps its room, so the body does not move.
        {kNoArrow, KASideTop, 3, 1, {398, 503, 204, 120}, {2, 18, 200, 100}},
        // A side out of range sits on the point without arrow room.
        {kDefaults, -1, 7, 1, {500, 500, 204, 104}, {2, 2, 200, 100}},
    };
    for (const auto &c : cases) {
        const KALayout placed = layout(c.shape, kView, kPoint, c.side, c.distance, c.s);
        EXPECT_EQ(placed.frame, c.frame) << "side " << c.side;
        EXPECT_EQ(placed.viewFrame, c.viewFrame) << "side " << c.side;
    }
}

// The arrow's tip, drawn in the window, must land on the point for every
// side and scale: the placement table and the outline have to agree.
TEST(AttachedWindowLayout, ArrowTipTouchesThePointOnEverySide)
{
    for (float s : {1.0f, 2.0f}) {
        for (const KABubbleShape &shape : {kDefaults, kSquareBeside}) {
            for (int side = 0; side <= 11; ++side) {
                const KALayout placed = layout(shape, kView, kPoint, side, 0.0f, s);
                const QPainterPath path = pathFor(shape, side, s);
                const QPointF tip(kPoint.x - placed.frame.x, kPoint.y - placed.frame.y);
                const auto atTip = [&](QPointF v) { return QLineF(v, tip).length() < 1e-3; };
                const std::string where = "side " + std::to_string(side) + " scale " + std::to_string(s)
                                          + " round " + std::to_string(shape.drawsRoundCornerBesideArrow);
                EXPECT_TRUE(std::ranges::any_of(vertices(path), atTip)) << where;
                // Nothing of the outline leaves the window.
                const QRectF window(0, 0, placed.frame.width, placed.frame.height);
                EXPECT_TRUE(window.adjusted(-1e-3, -1e-3, 1e-3, 1e-3).contains(path.boundingRect())) << where;
            }
        }
    }
}

TEST(AttachedWindowAutomaticSide, FitsFallbacksAndCorners)
{
    // TW = 204, TH = 104, E = 16 for the defaults at scale 1.
    const KARect screen{0, 0, 1280, 800};
    const KARect parent{400, 300, 300, 200};
    const struct {
        KARect visible;
        KARect bounds; // empty: the visible area again
        KAPoint p;
        float distance;
        int side;
    } cases[] = {
        // Exactly enough room below: accepted.
        {{0, 380, 1000, 1000}, {}, kPoint, 0, KASideBottom},
        // One unit short below; exactly enough room to the right: rejected,
        // so left is next (and it fits centred).
        {{0, 381, 720, 400}, {}, kPoint, 0, KASideLeft},
        {{0, 381, 721, 400}, {}, kPoint, 0, KASideRight},
        {{0, 380, 1000, 1000}, {}, kPoint, 1, KASideRight}, // distance counts as reach
        // Only above has room (strictly).
        {{300, 381, 400, 240}, {}, kPoint, 0, KASideTop},
        {{300, 381, 400, 239}, {}, kPoint, 0, KASideBottom},
        // No side fits: bottom, then turned toward the room that is there.
        {{450, 450, 100, 100}, {}, kPoint, 0, KASideBottom},
        {{0, 0, 200, 50}, {}, {10, 40}, 0, KASideBottomRight},
        {{0, 0, 200, 50}, {}, {190, 40}, 0, KASideBottomLeft},
        {{0, 0, 196, 50}, {}, {10, 40}, 0, KASideBottom}, // corner does not fit either
        // A centred body that would cross the parent's lower or upper edge
        // turns upward or downward; near its left edge, rightward.
        {{0, 400, 1280, 400}, parent, {500, 320}, 0, KASideRightTop},
        {{0, 380, 1280, 420}, parent, {500, 480}, 0, KASideRightBottom},
        {screen, parent, {420, 450}, 0, KASideBottomRight},
        {screen, {300, 300, 500, 200}, {550, 450}, 0, KASideBottom}, // well inside stays centred
    };
    for (const auto &c : cases) {
        const KARect bounds = c.bounds.width > 0 ? c.bounds : c.visible;
        EXPECT_EQ(bestSideForAutomaticPosition(kDefaults, kView, c.p, c.distance, 1.0f, c.visible, bounds), c.side)
            << "case " << &c - cases;
    }
}

TEST(AttachedWindowOutline, VerticesAndCorners)
{
    const QPainterPath path = pathFor(kDefaults, KASideBottom);
    expectVertices(vertices(path), {{8, 104}, {92, 104}, {102, 120}, {112, 104}, {196, 104},
                                    {204, 96}, {204, 8}, {196, 0}, {8, 0}, {0, 8}, {0, 96}, {8, 104}});
    EXPECT_EQ(path.fillRule(), Qt::WindingFill);

    // Beside the arrow on a corner side the corner is rounded or square; a
    // square one lets the left edge run straight into it.
    int curves = 0;
    std::vector<QPointF> v = vertices(pathFor(kDefaults, KASideBottomRight), &curves);
    expectVertices({v[0], v[1], v.back()}, {{8, 104}, {18, 120}, {8, 104}});
    EXPECT_EQ(curves, 4);
    v = vertices(pathFor(kSquareBeside, KASideBottomRight), &curves);
    expectVertices({v[0], v[1], v.back()}, {{0, 104}, {10, 120}, {0, 104}});
    EXPECT_EQ(curves, 3);

    // No radius and no arrow: a plain rectangle.
    const QPainterPath rect = pathFor({.hasArrow = 0, .cornerRadius = 0}, KASideBottomRight);
    vertices(rect, &curves);
    EXPECT_EQ(curves, 0);
    EXPECT_EQ(rect.boundingRect(), QRectF(0, 0, 204, 104));
}

TEST(AttachedWindowPicture, FillBorderAndTransparency)
{
    const QImage image = render(kDefaults);
    ASSERT_EQ(image.size(), QSize(204, 120));
    // Image rows go down: the body is rows 16..119, the arrow room above; the
    // border is a 2-unit band inside the edge.
    expectPixels(image, White, {{52, 118}, {52, 119}, {52, 16}, {52, 17}, {0, 68}, {1, 68}, {202, 68}, {203, 68}});
    expectPixels(image, Fill, {{102, 68}, {52, 117}, {52, 18}, {2, 68}, {201, 68}});
    // Outside the rounded corners and beside the arrow: nothing at all.
    expectPixels(image, Clear, {{0, 119}, {203, 119}, {0, 16}, {203, 16}, {20, 8}});
    EXPECT_GT(qAlpha(image.pixel(102, 12)), 0); // inside the arrow

    const QImage plain = render(kNoArrow);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < plain.width(); ++x)
            ASSERT_EQ(plain.pixel(x, y), 0u) << x << "," << y;
    expectPixels(plain, White, {{102, 16}});
}

TEST(AttachedWindowPicture, BorderScales)
{
    // At scale 2 the whole bubble, border included, stays inside the window
    // and the border is twice as wide.
    const QImage image = render(kDefaults, 2.0f);
    ASSERT_EQ(image.size(), QSize(208, 140));
    expectPixels(image, White, {{52, 136}, {52, 137}, {52, 138}, {52, 139}, {204, 80}, {205, 80}, {206, 80}, {207, 80}});
    expectPixels(image, Fill, {{52, 135}});
    EXPECT_GT(qAlpha(image.pixel(103, 2)), 0); // near the tip, on the top edge
}

TEST(AttachedWindowPicture, PatternFillAndAbsurdSizes)
{
    QImage tile(4, 4, QImage::Format_ARGB32_Premultiplied);
    tile.fill(QColor(0, 0, 255));
    EXPECT_EQ(render(kDefaults, 1.0f, QBrush(tile)).pixel(102, 68), qRgb(0, 0, 255));

    const QPainterPath path = pathFor(kDefaults, KASideBottom);
    for (KASize size : {KASize{0, 0}, KASize{204, 1e9f}, KASize{204, std::nanf("")}})
        EXPECT_TRUE(renderBackground(kDefaults, path, size, kFill, 1).isNull()) << size.height;
}
