#pragma once
// What the bubble needs to know about screens and windows, in its own screen
// space (origin at the bottom left of the primary screen, y up). This is also
// the one place where rectangles cross between that space and Qt's top-left
// coordinates. Tests substitute the scale factor and the visible area.

#include "KAGeometry.h"

#include <QRect>
#include <QTransform>

#include <optional>

class QWidget;

namespace ka {

class KAScreenSpace
{
public:
    virtual ~KAScreenSpace() = default;

    // The main screen's user-space scale factor; 1.0 here, since Qt applies
    // the device pixel ratio itself.
    virtual float userSpaceScaleFactor() const;
    // Usable area of the main screen (without panels).
    virtual KARect mainScreenVisibleFrame() const;
    // Usable area of the screen the window is on; none when it is on none.
    virtual std::optional<KARect> visibleFrameOfScreenOf(const QWidget *window) const;
    // The window's frame in screen space.
    virtual KARect frameOf(const QWidget *window) const;
    // A point given relative to the window's bottom-left corner, on the screen.
    virtual KAPoint convertBaseToScreen(const QWidget *window, KAPoint point) const;
    // Qt's y coordinate of the primary screen's bottom edge: the line about
    // which screen space is mirrored.
    virtual qreal flipBase() const;

    // Screen-space frame to a Qt global rectangle and back.
    QRect toQt(const KARect &frame) const { return flip(frame, flipBase()); }
    KARect fromQt(const QRect &rect) const { return unflip(rect, flipBase()); }

    // The mirroring itself, also used inside a window whose height is base.
    static QRect flip(const KARect &rect, qreal base);
    static KARect unflip(const QRect &rect, qreal base);
    // The same mirroring for a painter drawing y-up shapes into a y-down image.
    static QTransform flipTransform(qreal base);
};

} // namespace ka
