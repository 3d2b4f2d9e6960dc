// The bubble's geometry without a window: placement, automatic side, outline
// and the rendered picture.
#include "KAGeometry.h"

#include <gtest/gtest.h>

#include <QPainterPath>

#include <vector>

using namespace ka;

namespace {

const KASize kView{200, 100};
const KAPoint kPoint{500, 500};

struct Vertex {
    double x, y;
};

// End points of the path's segments, in order (a cubic counts once).
std::vector<Vertex> vertices(const QPainterPath &path, int *curves = nullptr)
{
    std::vector<Vertex> out;
    int count = 0;
    for (int i = 0; i < path.elementCount(); ++i) {
        const QPainterPath::Element e = path.elementAt(i);
        if (e.type == QPainterPath::CurveToElement) {
            ++count;
            const QPainterPath::Element end = path.elementAt(i + 2);
            out.push_back({end.x, end.y});
            i += 2;
        } else {
            out.push_back({e.x, e.y});
        }
    }
    if (curves)
        *curves = count;
    return out;
}

void expectVertices(const QPainterPath &path, const std::vector<Vertex> &expected)
{
    const std::vector<Vertex> got = vertices(path);
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_NEAR(got[i].x, expected[i].x, 1e-4) << "vertex " << i;
        EXPECT_NEAR(got[i].y, expected[i].y, 1e-4) << "vertex " << i;
    }
}

QImage render(const KABubbleShape &shape, int side, float s, const QBrush &fill)
{
    const KALayout placed = layout(shape, kView, kPoint, side, 0.0f, s);
    return renderBackground(shape, backgroundPath(shape, placed.viewFrame, side, s),
                            {placed.frame.width, placed.frame.height}, fill, s);
}

const QColor kFill = QColor::fromRgbF(0.1f, 0.1f, 0.1f, 0.75f);

bool isWhite(const QImage &image, int x, int y)
{
    const QRgb p = image.pixel(x, y);
    return qAlpha(p) == 255 && qRed(p) == 255 && qGreen(p) == 255 && qBlue(p) == 255;
}

bool isFill(const QImage &image, int x, int y)
{
    const QColor c = image.pixelColor(x, y);
    return std::abs(c.alpha() - 191) <= 1 && std::abs(c.red() - 26) <= 2 && c.red() == c.blue();
}

} // namespace

TEST(AttachedWindowLayout, DefaultsOnBottomAndRightTop)
{
    const KABubbleShape shape;
    KALayout bottom = layout(shape, kView, kPoint, KASideBottom, 0.0f, 1.0f);
    EXPECT_EQ(bottom.viewFrame, (KARect{2, 2, 200, 100}));
    EXPECT_EQ(bottom.frame, (KARect{398, 380, 204, 120}));

    EXPECT_EQ(arrowInset(shape, 1.0f), 18.0f);
    KALayout rightTop = layout(shape, kView, kPoint, KASideRightTop, 0.0f, 1.0f);
    EXPECT_EQ(rightTop.viewFrame, (KARect{18, 2, 200, 100}));
    EXPECT_EQ(rightTop.frame, (KARect{500, 482, 220, 104}));

    // Distance pushes the body away without scaling; the arrow room scales.
    KALayout far = layout(shape, kView, kPoint, KASideBottom, 5.0f, 2.0f);
    EXPECT_EQ(far.viewFrame, (KARect{4, 4, 200, 100}));
    EXPECT_EQ(far.frame, (KARect{396, 355, 208, 140}));
}

TEST(AttachedWindowLayout, InsetAndArrowRoom)
{
    KABubbleShape shape;
    EXPECT_EQ(arrowInset(shape, 2.0f), 36.0f);
    shape.drawsRoundCornerBesideArrow = 0;
    EXPECT_EQ(arrowInset(shape, 1.0f), 10.0f);
    EXPECT_EQ(layout(shape, kView, kPoint, KASideRightTop, 0.0f, 1.0f).frame,
              (KARect{500, 490, 220, 104}));

    // Hiding the arrow keeps its room, so the body does not move.
    KABubbleShape noArrow;
    noArrow.hasArrow = 0;
    EXPECT_EQ(layout(noArrow, kView, kPoint, KASideTop, 3.0f, 1.0f).frame,
              layout(KABubbleShape{}, kView, kPoint, KASideTop, 3.0f, 1.0f).frame);
    EXPECT_EQ(layout(noArrow, kView, kPoint, KASideTop, 3.0f, 1.0f).viewFrame,
              (KARect{2, 18, 200, 100}));
}

TEST(AttachedWindowLayout, SideOutOfRangeSitsOnThePointWithoutArrowRoom)
{
    for (int side : {-1, 13, 1000}) {
        const KALayout placed = layout(KABubbleShape{}, kView, kPoint, side, 7.0f, 1.0f);
        EXPECT_EQ(placed.frame, (KARect{500, 500, 204, 104})) << side;
        EXPECT_EQ(placed.viewFrame, (KARect{2, 2, 200, 100})) << side;
    }
}

// The arrow's tip, drawn in the window, must land on the point for every
// side and scale: the placement table and the outline have to agree.
TEST(AttachedWindowLayout, ArrowTipTouchesThePointOnEverySide)
{
    for (float s : {1.0f, 2.0f}) {
        for (bool roundBeside : {true, false}) {
            KABubbleShape shape;
            shape.drawsRoundCornerBesideArrow = roundBeside ? 1 : 0;
            for (int side = 0; side <= 11; ++side) {
                const KALayout placed = layout(shape, kView, kPoint, side, 0.0f, s);
                const QPainterPath path = backgroundPath(shape, placed.viewFrame, side, s);
                const double tx = kPoint.x - placed.frame.x;
                const double ty = kPoint.y - placed.frame.y;
                bool found = false;
                for (const Vertex &v : vertices(path))
                    found = found || (std::abs(v.x - tx) < 1e-3 && std::abs(v.y - ty) < 1e-3);
                EXPECT_TRUE(found) << "side " << side << " scale " << s << " round " << roundBeside;
                // Nothing of the outline leaves the window.
                const QRectF box = path.boundingRect();
                EXPECT_GE(box.left(), -1e-3);
                EXPECT_GE(box.top(), -1e-3);
                EXPECT_LE(box.right(), placed.frame.width + 1e-3) << side;
                EXPECT_LE(box.bottom(), placed.frame.height + 1e-3) << side;
            }
        }
    }
}

TEST(AttachedWindowAutomaticSide, ExactFitsAndFallbacks)
{
    const KABubbleShape shape;
    // TW = 204, TH = 104, E = 16 for the defaults at scale 1.
    auto best = [&](KARect visible, KAPoint p = kPoint, float distance = 0.0f) {
        return bestSideForAutomaticPosition(shape, kView, p, distance, 1.0f, visible, visible);
    };

    // Exactly enough room below: accepted.
    EXPECT_EQ(best({0, 380, 1000, 1000}), KASideBottom);
    // One unit short below; exactly enough room to the right: rejected, so
    // left is next (and it fits centred).
    EXPECT_EQ(best({0, 381, 720, 400}), KASideLeft);
    EXPECT_EQ(best({0, 381, 721, 400}), KASideRight);
    // Distance counts as reach.
    EXPECT_EQ(best({0, 380, 1000, 1000}, kPoint, 1.0f), KASideRight);
    // Only above has room (strictly).
    EXPECT_EQ(best({300, 381, 400, 240}), KASideTop);
    EXPECT_EQ(best({300, 381, 400, 239}), KASideBottom);

    // No side fits: bottom, then turned toward the room that is there.
    EXPECT_EQ(best({450, 450, 100, 100}), KASideBottom);
    EXPECT_EQ(best({0, 0, 200, 50}, {10, 40}), KASideBottomRight);
    EXPECT_EQ(best({0, 0, 200, 50}, {190, 40}), KASideBottomLeft);
    EXPECT_EQ(best({0, 0, 196, 50}, {10, 40}), KASideBottom); // corner does not fit either
}

TEST(AttachedWindowAutomaticSide, CornerRefinementUsesBoundsAndVisibleArea)
{
    const KABubbleShape shape;
    const KARect screen{0, 0, 1280, 800};
    // Right of a point near the bottom of a parent window: the centred body
    // would cross the parent's lower edge, so the body goes upward.
    const KARect parent{400, 300, 300, 200};
    EXPECT_EQ(bestSideForAutomaticPosition(shape, kView, {500, 320}, 0, 1, {0, 400, 1280, 400}, parent),
              KASideRightTop);
    // Near the parent's top edge the body goes downward instead.
    EXPECT_EQ(bestSideForAutomaticPosition(shape, kView, {500, 480}, 0, 1, {0, 380, 1280, 420}, parent),
              KASideRightBottom);
    // Below the point, near the parent's left edge: body goes rightward.
    EXPECT_EQ(bestSideForAutomaticPosition(shape, kView, {420, 450}, 0, 1, screen, parent),
              KASideBottomRight);
    // Well inside the parent it stays centred.
    EXPECT_EQ(bestSideForAutomaticPosition(shape, kView, {550, 450}, 0, 1, screen, {300, 300, 500, 200}),
              KASideBottom);
}

TEST(AttachedWindowOutline, DefaultsOnBottom)
{
    const KABubbleShape shape;
    const KALayout placed = layout(shape, kView, kPoint, KASideBottom, 0.0f, 1.0f);
    const QPainterPath path = backgroundPath(shape, placed.viewFrame, KASideBottom, 1.0f);
    expectVertices(path, {{8, 104}, {92, 104}, {102, 120}, {112, 104}, {196, 104},
                          {204, 96}, {204, 8}, {196, 0}, {8, 0}, {0, 8}, {0, 96}, {8, 104}});
    EXPECT_EQ(path.fillRule(), Qt::WindingFill);
}

TEST(AttachedWindowOutline, CornerBesideTheArrow)
{
    KABubbleShape shape;
    KALayout placed = layout(shape, kView, kPoint, KASideBottomRight, 0.0f, 1.0f);
    int curves = 0;
    std::vector<Vertex> v = vertices(backgroundPath(shape, placed.viewFrame, KASideBottomRight, 1), &curves);
    ASSERT_GE(v.size(), 3u);
    EXPECT_EQ(v[0].x, 8);
    EXPECT_EQ(v[0].y, 104);
    EXPECT_EQ(v[1].x, 18);
    EXPECT_EQ(v[1].y, 120);
    EXPECT_EQ(curves, 4);

    shape.drawsRoundCornerBesideArrow = 0;
    placed = layout(shape, kView, kPoint, KASideBottomRight, 0.0f, 1.0f);
    v = vertices(backgroundPath(shape, placed.viewFrame, KASideBottomRight, 1), &curves);
    EXPECT_EQ(v[0].x, 0);
    EXPECT_EQ(v[0].y, 104);
    EXPECT_EQ(v[1].x, 10);
    EXPECT_EQ(v[1].y, 120);
    EXPECT_EQ(v.back().x, 0); // the left edge runs straight into the square corner
    EXPECT_EQ(v.back().y, 104);
    EXPECT_EQ(curves, 3);

    // No radius: square everywhere, and no arrow means a plain rectangle.
    shape.cornerRadius = 0;
    shape.hasArrow = 0;
    const QPainterPath plain = backgroundPath(shape, placed.viewFrame, KASideBottomRight, 1);
    vertices(plain, &curves);
    EXPECT_EQ(curves, 0);
    EXPECT_EQ(plain.boundingRect(), QRectF(0, 0, 204, 104));
}

TEST(AttachedWindowOutline, TangentArc)
{
    QPainterPath path;
    path.moveTo(0, 0);
    appendArcFromPoint(path, {10, 0}, {10, 10}, 5);
    int curves = 0;
    const std::vector<Vertex> v = vertices(path, &curves);
    ASSERT_EQ(v.size(), 3u);
    EXPECT_NEAR(v[1].x, 5, 1e-9); // line to the first tangent point
    EXPECT_NEAR(v[1].y, 0, 1e-9);
    EXPECT_NEAR(v[2].x, 10, 1e-9);
    EXPECT_NEAR(v[2].y, 5, 1e-9);
    // The arc stays on the circle of radius 5 around (5, 5).
    for (qreal t = 0.25; t < 1.0; t += 0.25) {
        const QPointF p = path.pointAtPercent(0.5 + t * 0.5);
        EXPECT_NEAR(std::hypot(p.x() - 5, p.y() - 5), 5.0, 0.01);
    }

    // A wide corner (obtuse angle) still ends on the second tangent point.
    QPainterPath obtuse;
    obtuse.moveTo(0, 0);
    appendArcFromPoint(obtuse, {10, 0}, {20, 10}, 4);
    const QPointF end = obtuse.currentPosition();
    EXPECT_NEAR(std::abs(end.x() - 10 - (end.y())), 0.0, 1e-9); // on the line y = x - 10
    EXPECT_GT(end.x(), 10);

    // Collinear points or no radius: a straight line to the corner.
    QPainterPath straight;
    straight.moveTo(0, 0);
    appendArcFromPoint(straight, {10, 0}, {20, 0}, 5);
    appendArcFromPoint(straight, {20, 5}, {30, 5}, 0);
    expectVertices(straight, {{0, 0}, {10, 0}, {20, 5}});
}

TEST(AttachedWindowPicture, FillBorderAndTransparency)
{
    const QImage image = render(KABubbleShape{}, KASideBottom, 1.0f, kFill);
    ASSERT_EQ(image.size(), QSize(204, 120));
    // Image rows go down: the body is rows 16..119, the arrow room above.
    EXPECT_TRUE(isFill(image, 102, 68));
    for (int y : {118, 119, 16, 17})
        EXPECT_TRUE(isWhite(image, 102 - 50, y)) << y;
    EXPECT_TRUE(isFill(image, 52, 117));
    EXPECT_TRUE(isFill(image, 52, 18));
    for (int x : {0, 1, 202, 203})
        EXPECT_TRUE(isWhite(image, x, 68)) << x;
    EXPECT_TRUE(isFill(image, 2, 68));
    EXPECT_TRUE(isFill(image, 201, 68));
    // Outside the rounded corners and beside the arrow: nothing at all.
    for (QPoint p : {QPoint(0, 119), QPoint(203, 119), QPoint(0, 16), QPoint(203, 16), QPoint(20, 8)})
        EXPECT_EQ(image.pixel(p), 0u) << p.x() << "," << p.y();
    EXPECT_GT(qAlpha(image.pixel(102, 12)), 0); // inside the arrow

    KABubbleShape noArrow;
    noArrow.hasArrow = 0;
    const QImage plain = render(noArrow, KASideBottom, 1.0f, kFill);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < plain.width(); ++x)
            ASSERT_EQ(plain.pixel(x, y), 0u) << x << "," << y;
    EXPECT_TRUE(isWhite(plain, 102, 16));
}

TEST(AttachedWindowPicture, BorderWidthAndScale)
{
    KABubbleShape thin;
    thin.borderWidth = 1.0f;
    QImage image = render(thin, KASideBottom, 1.0f, kFill);
    EXPECT_TRUE(isWhite(image, 52, 119));
    EXPECT_TRUE(isFill(image, 52, 118));

    KABubbleShape none;
    none.borderWidth = 0.0f;
    image = render(none, KASideBottom, 1.0f, kFill);
    EXPECT_TRUE(isFill(image, 52, 119));

    // At scale 2 the whole bubble, border included, stays inside the window
    // and the border is twice as wide.
    image = render(KABubbleShape{}, KASideBottom, 2.0f, kFill);
    ASSERT_EQ(image.size(), QSize(208, 140));
    for (int y = 136; y < 140; ++y)
        EXPECT_TRUE(isWhite(image, 52, y)) << y;
    EXPECT_TRUE(isFill(image, 52, 135));
    for (int x = 204; x < 208; ++x)
        EXPECT_TRUE(isWhite(image, x, 80)) << x;
    EXPECT_GT(qAlpha(image.pixel(103, 2)), 0); // near the tip, on the top edge
}

TEST(AttachedWindowPicture, PatternFillAndAbsurdSizes)
{
    QImage tile(4, 4, QImage::Format_ARGB32_Premultiplied);
    tile.fill(QColor(0, 0, 255));
    KABubbleShape shape;
    const QImage image = render(shape, KASideBottom, 1.0f, QBrush(tile));
    EXPECT_EQ(image.pixel(102, 68), qRgb(0, 0, 255));

    const QPainterPath path = backgroundPath(shape, {2, 2, 200, 100}, KASideBottom, 1);
    EXPECT_TRUE(renderBackground(shape, path, {0, 0}, kFill, 1).isNull());
    EXPECT_TRUE(renderBackground(shape, path, {204, 1e9f}, kFill, 1).isNull());
    EXPECT_TRUE(renderBackground(shape, path, {204, std::nanf("")}, kFill, 1).isNull());
}
