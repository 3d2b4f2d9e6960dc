// Draws the programs' icons at build time, so no artwork is stored in the
// tree: a rounded tile with an envelope, and a circular arrow for the engine.
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    // SIZE: the desktop's icon theme wants a few sizes; the drawing is made
    // on a 256-pixel grid and scaled, so every size shows the same picture.
    const int size = argc == 4 ? std::atoi(argv[3]) : 256;
    if ((argc != 3 && argc != 4) || size < 16 || size > 1024) {
        std::fprintf(stderr, "usage: make_icon corvantis|engine OUT.png [SIZE]\n");
        return 2;
    }
    const bool engine = QByteArray(argv[1]) == "engine";
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 256.0, size / 256.0);

    QLinearGradient tile(0, 0, 0, 256);
    tile.setColorAt(0, engine ? QColor(0x3a, 0x7b, 0xc8) : QColor(0x2f, 0x9e, 0x6e));
    tile.setColorAt(1, engine ? QColor(0x1d, 0x3f, 0x73) : QColor(0x17, 0x5c, 0x3e));
    p.setPen(Qt::NoPen);
    p.setBrush(tile);
    p.drawRoundedRect(QRectF(12, 12, 232, 232), 48, 48);

    // Envelope.
    p.setBrush(QColor(250, 250, 245));
    const QRectF env(56, 76, 144, 100);
    p.drawRoundedRect(env, 10, 10);
    QPen flap(QColor(0x55, 0x55, 0x55), 8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(flap);
    p.drawPolyline(QPolygonF({QPointF(64, 86), QPointF(128, 136), QPointF(192, 86)}));

    // Circular arrow: the backup.
    QPen arrow(QColor(255, 200, 40), 14, Qt::SolidLine, Qt::RoundCap);
    p.setPen(arrow);
    p.setBrush(Qt::NoBrush);
    const QRectF ring(150, 150, 80, 80);
    p.drawArc(ring, 30 * 16, engine ? 300 * 16 : 250 * 16);
    QPainterPath head;
    head.moveTo(224, 162);
    head.lineTo(236, 196);
    head.lineTo(204, 186);
    head.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 200, 40));
    p.drawPath(head);
    p.end();
    return image.save(QString::fromLocal8Bit(argv[2]), "PNG") ? 0 : 1;
}
