#include "Spinner.h"

#include <QPainter>
#include <QtMath>

namespace cv::engine {

Spinner::Spinner(QWidget *parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_TranslucentBackground);
    m_timer.setInterval(80);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_step = (m_step + 1) % 12;
        update();
    });
}

void Spinner::startAnimation() { m_timer.start(); }
void Spinner::stopAnimation() { m_timer.stop(); }

void Spinner::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal side = qMin(width(), height());
    p.translate(width() / 2.0, height() / 2.0);
    const qreal inner = side * 0.22, outer = side * 0.46;
    for (int i = 0; i < 12; ++i) {
        // Spokes fade behind the leading one.
        const int age = (m_step - i + 12) % 12;
        QColor c(Qt::white);
        c.setAlphaF(isAnimating() ? 1.0 - age / 13.0 : 0.35);
        p.setPen(QPen(c, side * 0.09, Qt::SolidLine, Qt::RoundCap));
        const qreal a = qDegreesToRadians(i * 30.0);
        p.drawLine(QPointF(qSin(a) * inner, -qCos(a) * inner), QPointF(qSin(a) * outer, -qCos(a) * outer));
    }
}

} // namespace cv::engine
