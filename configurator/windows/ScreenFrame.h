#pragma once
// Window frames in bottom-left screen space (y grows upward), the space the
// window classes compute in. This is the one place where such a frame meets
// Qt's top-left geometry.

#include <QRectF>
#include <QString>

class QWidget;

namespace cv::configurator::windows {

// The primary screen's height, the line that the two spaces flip about.
qreal primaryScreenHeight();

// The outer frame (decoration included) of a top-level window.
QRectF windowFrame(const QWidget *window, qreal screenHeight);
// Places the outer frame there: move() takes the frame's corner, resize()
// the client size, so the window system's decoration is taken off first.
void setWindowFrame(QWidget *window, const QRectF &frame, qreal screenHeight);

// A rectangle inside a view of the given height, bottom-left origin, in the
// view's Qt coordinates.
QRect viewRectToQt(const QRectF &rect, qreal viewHeight);

// The resources folder of the configurator's bundle: the program lives in
// Contents/MacOS, its pictures in Contents/Resources.
QString bundleContentsFolder();

} // namespace cv::configurator::windows
