#include "KAScreenSpace.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace ka {

float KAScreenSpace::userSpaceScaleFactor() const
{
    return 1.0f;
}

KARect KAScreenSpace::mainScreenVisibleFrame() const
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    return screen ? fromQt(screen->availableGeometry()) : KARect{};
}

std::optional<KARect> KAScreenSpace::visibleFrameOfScreenOf(const QWidget *window) const
{
    if (!window)
        return std::nullopt;
    const QScreen *screen = window->screen();
    const QRect global(window->mapToGlobal(QPoint(0, 0)), window->size());
    if (!screen || !screen->geometry().intersects(global))
        return std::nullopt;
    return fromQt(screen->availableGeometry());
}

KARect KAScreenSpace::frameOf(const QWidget *window) const
{
    if (!window)
        return {};
    if (window->isWindow())
        return fromQt(window->frameGeometry());
    return fromQt(QRect(window->mapToGlobal(QPoint(0, 0)), window->size()));
}

KAPoint KAScreenSpace::convertBaseToScreen(const QWidget *window, KAPoint point) const
{
    if (!window)
        return point;
    // Base coordinates start at the bottom-left corner of the content area.
    const KARect content = fromQt(QRect(window->mapToGlobal(QPoint(0, 0)), window->size()));
    return {content.x + point.x, content.y + point.y};
}

qreal KAScreenSpace::flipBase() const
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return 0.0;
    const QRect g = screen->geometry();
    return qreal(g.y()) + g.height();
}

// Rounds to whole pixels and keeps absurd values (an unclamped arrow height,
// a NaN) inside the integer range instead of overflowing.
static double pixel(double value)
{
    constexpr double limit = 1.0e7;
    if (!(value == value))
        return 0.0;
    return std::round(std::clamp(value, -limit, limit));
}

QRect KAScreenSpace::flip(const KARect &rect, qreal base)
{
    // Round the edges, not the size, so that adjacent frames stay adjacent.
    const double left = pixel(double(rect.x));
    const double right = std::max(left, pixel(double(rect.x) + rect.width));
    const double top = pixel(base - (double(rect.y) + rect.height));
    const double bottom = std::max(top, pixel(base - double(rect.y)));
    return QRect(int(left), int(top), int(right - left), int(bottom - top));
}

KARect KAScreenSpace::unflip(const QRect &rect, qreal base)
{
    return {float(rect.x()), float(base - (qreal(rect.y()) + rect.height())), float(rect.width()),
            float(rect.height())};
}

QTransform KAScreenSpace::flipTransform(qreal base)
{
    return QTransform(1, 0, 0, -1, 0, base);
}

} // namespace ka
