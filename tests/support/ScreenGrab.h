#pragma once
// What the X server shows in an area, once the windows had time to draw.
#include <QGuiApplication>
#include <QImage>
#include <QScreen>
#include <QTest>

namespace cv::test {

inline QImage grabScreen(const QRect &area)
{
    QCoreApplication::processEvents();
    QTest::qWait(300);
    return QGuiApplication::primaryScreen()
        ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
        .toImage()
        .convertToFormat(QImage::Format_RGB32);
}

} // namespace cv::test
