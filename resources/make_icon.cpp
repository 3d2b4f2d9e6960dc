// Draws the programs' pictures at build time, so no artwork is stored in the
// tree: the two program icons (a rounded tile with an envelope, a circular
// arrow for the engine), one abstract tile per email client, the about box's
// background and badge, and the preferences window's "General" button.
#include "Clients.h"

#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QtMath>

#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

void drawEnvelope(QPainter &p, const QRectF &env, const QColor &paper, const QColor &ink, qreal pen)
{
    p.setPen(Qt::NoPen);
    p.setBrush(paper);
    p.drawRoundedRect(env, env.width() / 14, env.width() / 14);
    p.setPen(QPen(ink, pen, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    const qreal inset = env.width() / 18;
    p.drawPolyline(QPolygonF({env.topLeft() + QPointF(inset, inset),
                              QPointF(env.center().x(), env.top() + env.height() * 0.55),
                              env.topRight() + QPointF(-inset, inset)}));
}

void drawTile(QPainter &p, qreal size, const QColor &top, const QColor &bottom)
{
    QLinearGradient tile(0, 0, 0, size);
    tile.setColorAt(0, top);
    tile.setColorAt(1, bottom);
    p.setPen(Qt::NoPen);
    p.setBrush(tile);
    const qreal m = size * 0.05;
    p.drawRoundedRect(QRectF(m, m, size - 2 * m, size - 2 * m), size * 0.19, size * 0.19);
}

QImage programIcon(bool engine)
{
    QImage image(256, 256, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    drawTile(p, 256, engine ? QColor(0x3a, 0x7b, 0xc8) : QColor(0x2f, 0x9e, 0x6e),
             engine ? QColor(0x1d, 0x3f, 0x73) : QColor(0x17, 0x5c, 0x3e));
    drawEnvelope(p, QRectF(56, 76, 144, 100), QColor(250, 250, 245), QColor(0x55, 0x55, 0x55), 8);

    // Circular arrow: the backup.
    QPen arrow(QColor(255, 200, 40), 14, Qt::SolidLine, Qt::RoundCap);
    p.setPen(arrow);
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(150, 150, 80, 80), 30 * 16, engine ? 300 * 16 : 250 * 16);
    QPainterPath head;
    head.moveTo(224, 162);
    head.lineTo(236, 196);
    head.lineTo(204, 186);
    head.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 200, 40));
    p.drawPath(head);
    return image;
}

struct Look {
    QColor top, bottom;
};
// In the order of the client table.
const Look kLooks[] = {
    {QColor(0x6f, 0xb6, 0xf2), QColor(0x24, 0x6f, 0xc2)}, // mail
    {QColor(0x3c, 0xa8, 0xb4), QColor(0x16, 0x5e, 0x6a)}, // outlook
    {QColor(0xf5, 0xa6, 0x4a), QColor(0xc0, 0x5a, 0x12)}, // entourage 2008
    {QColor(0xb2, 0x8a, 0xe0), QColor(0x62, 0x3c, 0x9a)}, // entourage 2004
    {QColor(0x9a, 0xa8, 0xb8), QColor(0x4a, 0x58, 0x6a)}, // entourage v.X
    {QColor(0x7a, 0x8c, 0xf0), QColor(0x2c, 0x34, 0x9c)}, // thunderbird
    {QColor(0x8c, 0xcf, 0x6a), QColor(0x3a, 0x80, 0x2a)}, // eudora
};
static_assert(std::size(kLooks) == std::size(cv::clients::kClients), "one look per client");

// The client's mark on its tile.
void drawClientMark(QPainter &p, int which)
{
    const QColor paper(252, 252, 248);
    const QColor ink(0x50, 0x50, 0x58);
    const QColor mark(255, 255, 255, 235);
    switch (which) {
    case 0: // envelope alone, large
        drawEnvelope(p, QRectF(22, 34, 84, 60), paper, ink, 4);
        break;
    case 1: { // envelope with a small grid of days
        drawEnvelope(p, QRectF(16, 46, 70, 50), paper, ink, 4);
        p.setPen(Qt::NoPen);
        p.setBrush(mark);
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c)
                p.drawRect(QRectF(80 + c * 10, 22 + r * 10, 7, 7));
        break;
    }
    case 2: // two envelopes, stacked
        drawEnvelope(p, QRectF(36, 24, 70, 50), paper.darker(112), ink, 3);
        drawEnvelope(p, QRectF(22, 52, 70, 50), paper, ink, 4);
        break;
    case 3: // envelope with a band across it
        drawEnvelope(p, QRectF(22, 34, 84, 60), paper, ink, 4);
        p.setPen(Qt::NoPen);
        p.setBrush(kLooks[3].bottom);
        p.drawRect(QRectF(22, 78, 84, 8));
        break;
    case 4: { // envelope under a row of three dots
        drawEnvelope(p, QRectF(22, 46, 84, 60), paper, ink, 4);
        p.setPen(Qt::NoPen);
        p.setBrush(mark);
        for (int i = 0; i < 3; ++i)
            p.drawEllipse(QPointF(44 + i * 20, 28), 6, 6);
        break;
    }
    case 5: { // envelope under a sweeping arc
        drawEnvelope(p, QRectF(22, 50, 84, 56), paper, ink, 4);
        p.setPen(QPen(mark, 7, Qt::SolidLine, Qt::RoundCap));
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(20, 18, 88, 60), 20 * 16, 140 * 16);
        break;
    }
    default: { // a written sheet
        p.setPen(Qt::NoPen);
        p.setBrush(paper);
        p.drawRoundedRect(QRectF(34, 20, 60, 88), 6, 6);
        p.setPen(QPen(ink, 4, Qt::SolidLine, Qt::RoundCap));
        for (int i = 0; i < 5; ++i)
            p.drawLine(QPointF(44, 38 + i * 14), QPointF(i == 4 ? 66 : 84, 38 + i * 14));
        break;
    }
    }
}

// One tile per client: its own colour and a small mark beside the envelope,
// so the seven tell apart at a glance. Pure shapes, no lettering.
QImage clientIcon(int which)
{
    QImage image(128, 128, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    drawTile(p, 128, kLooks[which].top, kLooks[which].bottom);
    drawClientMark(p, which);
    return image;
}

// The about box's background: a calm light wash with large faint rings.
QImage splashBackground()
{
    QImage image(400, 250, QImage::Format_ARGB32_Premultiplied);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient wash(0, 0, 0, 250);
    wash.setColorAt(0, QColor(0xf4, 0xf7, 0xfb));
    wash.setColorAt(1, QColor(0xd9, 0xe3, 0xee));
    p.fillRect(image.rect(), wash);
    p.setBrush(Qt::NoBrush);
    for (int i = 0; i < 6; ++i) {
        p.setPen(QPen(QColor(0x2f, 0x9e, 0x6e, 18 + i * 4), 10));
        const qreal r = 60 + i * 34;
        p.drawEllipse(QPointF(84, 250), r, r);
    }
    p.setPen(QPen(QColor(255, 255, 255, 160), 1));
    p.drawLine(0, 0, 400, 0);
    return image;
}

// The badge: a pill holding two interlocking rings, "runs everywhere".
QImage badge()
{
    QImage image(95, 60, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient pill(0, 0, 0, 60);
    pill.setColorAt(0, QColor(0x5d, 0x6b, 0x7d));
    pill.setColorAt(1, QColor(0x2b, 0x34, 0x42));
    p.setPen(QPen(QColor(255, 255, 255, 200), 2));
    p.setBrush(pill);
    p.drawRoundedRect(QRectF(2, 6, 91, 48), 24, 24);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0xff, 0xc8, 0x28), 5));
    p.drawEllipse(QPointF(37, 30), 13, 13);
    p.setPen(QPen(QColor(0x6f, 0xd3, 0xa0), 5));
    p.drawEllipse(QPointF(58, 30), 13, 13);
    return image;
}

// The "General" pane's toolbar picture: a toothed wheel.
QImage generalIcon()
{
    QImage image(32, 32, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath wheel;
    const QPointF c(16, 16);
    for (int i = 0; i < 16; ++i) {
        const qreal r = (i % 2 == 0) ? 14.5 : 11.0;
        const qreal a0 = (i - 0.5) * M_PI / 8, a1 = (i + 0.5) * M_PI / 8;
        const QPointF p0 = c + QPointF(r * qCos(a0), r * qSin(a0));
        const QPointF p1 = c + QPointF(r * qCos(a1), r * qSin(a1));
        if (i == 0)
            wheel.moveTo(p0);
        else
            wheel.lineTo(p0);
        wheel.lineTo(p1);
    }
    wheel.closeSubpath();
    wheel.addEllipse(c, 5, 5);
    wheel.setFillRule(Qt::OddEvenFill);
    p.setPen(QPen(QColor(0x3a, 0x40, 0x48), 1));
    p.setBrush(QColor(0x86, 0x8e, 0x98));
    p.drawPath(wheel);
    return image;
}

// The "History" pane's toolbar picture: a clock face with an arrow turning back.
QImage historyIcon()
{
    QImage image(32, 32, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QPointF c(16, 16);
    p.setPen(QPen(QColor(0x3a, 0x40, 0x48), 1));
    p.setBrush(QColor(0xf4, 0xf1, 0xe8));
    p.drawEllipse(c, 10.5, 10.5);
    p.setPen(QPen(QColor(0x3a, 0x40, 0x48), 2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(c, c + QPointF(0, -7));
    p.drawLine(c, c + QPointF(5, 3));
    // The arrow around the face, open at the upper left, pointing back.
    p.setPen(QPen(QColor(0x2f, 0x7d, 0xc4), 2.5, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(2.5, 2.5, 27, 27), 150 * 16, -300 * 16);
    QPainterPath head;
    head.moveTo(1.5, 6.5);
    head.lineTo(9.5, 7.5);
    head.lineTo(3.5, 13.5);
    head.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x2f, 0x7d, 0xc4));
    p.drawPath(head);
    return image;
}

// The "Off-site" pane's toolbar picture: a cloud with a padlock, for the
// encrypted copy kept away from this computer.
QImage offsiteIcon()
{
    QImage image(32, 32, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath cloud;
    cloud.addEllipse(QPointF(10, 17), 7, 6);
    cloud.addEllipse(QPointF(17, 12), 8.5, 8);
    cloud.addEllipse(QPointF(24, 17), 6.5, 6);
    cloud.addRoundedRect(QRectF(5, 16, 24, 8), 4, 4);
    cloud.setFillRule(Qt::WindingFill);
    p.setPen(QPen(QColor(0x3a, 0x40, 0x48), 1));
    p.setBrush(QColor(0xd8, 0xe8, 0xf6));
    p.drawPath(cloud.simplified());
    // The padlock in front of it.
    p.setPen(QPen(QColor(0x3a, 0x40, 0x48), 2));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(12.5, 15, 7, 8), 0, 180 * 16);
    p.drawLine(QPointF(12.5, 19), QPointF(12.5, 21));
    p.drawLine(QPointF(19.5, 19), QPointF(19.5, 21));
    p.setPen(QPen(QColor(0x3a, 0x40, 0x48), 1));
    p.setBrush(QColor(0x2f, 0x7d, 0xc4));
    p.drawRoundedRect(QRectF(10.5, 20.5, 11, 9), 1.5, 1.5);
    return image;
}

int usage()
{
    std::fprintf(stderr,
                 "usage: make_icon corvantis|engine OUT.png [SIZE]\n"
                 "       make_icon splash|badge|general|history|offsite OUT.png\n"
                 "       make_icon clients FOLDER\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3)
        return usage();
    const QByteArray kind = argv[1];
    QImage image;
    const char *out = argv[2];
    if (kind == "clients") {
        // Each client's tile under the name the configurator looks for.
        if (argc != 3)
            return usage();
        int which = 0;
        for (const cv::clients::Client &client : cv::clients::kClients) {
            const QString file = QString::fromLocal8Bit(out) + QLatin1Char('/') + QLatin1String(client.icon);
            if (!clientIcon(which++).save(file, "PNG"))
                return 1;
        }
        return 0;
    } else if (kind == "corvantis" || kind == "engine") {
        // SIZE: the desktop's icon theme wants a few sizes of the same picture.
        const int size = argc == 4 ? std::atoi(argv[3]) : 256;
        if (argc > 4 || size < 16 || size > 1024)
            return usage();
        image = programIcon(kind == "engine");
        if (size != image.width())
            image = image.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    } else if (argc != 3) {
        return usage();
    } else if (kind == "splash") {
        image = splashBackground();
    } else if (kind == "badge") {
        image = badge();
    } else if (kind == "general") {
        image = generalIcon();
    } else if (kind == "history") {
        image = historyIcon();
    } else if (kind == "offsite") {
        image = offsiteIcon();
    } else {
        return usage();
    }
    return image.save(QString::fromLocal8Bit(out), "PNG") ? 0 : 1;
}
