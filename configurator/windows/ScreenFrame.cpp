#include "ScreenFrame.h"

#include "WindowMath.h"

#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace cv::configurator::windows {

qreal primaryScreenHeight()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    return screen ? screen->geometry().height() : 0;
}

QRectF windowFrame(const QWidget *window, qreal screenHeight)
{
    return flipRect(QRectF(window->frameGeometry()), screenHeight);
}

void setWindowFrame(QWidget *window, const QRectF &frame, qreal screenHeight)
{
    const QRect target = flipRect(frame, screenHeight).toRect();
    const QRect outer = window->frameGeometry();
    const QRect inner = window->geometry();
    const int extraWidth = outer.width() - inner.width();
    const int extraHeight = outer.height() - inner.height();
    window->move(target.topLeft());
    window->resize(std::max(0, target.width() - extraWidth), std::max(0, target.height() - extraHeight));
}

QRect viewRectToQt(const QRectF &rect, qreal viewHeight)
{
    return flipRect(rect, viewHeight).toRect();
}

QString bundleContentsFolder()
{
    return QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/.."));
}

} // namespace cv::configurator::windows
