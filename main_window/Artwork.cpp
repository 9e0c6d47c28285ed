#include "main_window/Artwork.h"

#include <QPainter>
#include <QPainterPath>

namespace {

// A meter: a rounded box with a display and a pulse LED.
QPixmap MeterIcon(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size / 32.0;
    p.setPen(QPen(QColor(30, 60, 110), 1.5 * s));
    p.setBrush(QColor(70, 130, 200));
    p.drawRoundedRect(QRectF(2 * s, 2 * s, 28 * s, 28 * s), 4 * s, 4 * s);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(220, 240, 200));
    p.drawRect(QRectF(6 * s, 7 * s, 20 * s, 9 * s));
    p.setBrush(QColor(255, 200, 0));
    p.drawEllipse(QPointF(10 * s, 23 * s), 3 * s, 3 * s);
    p.setBrush(QColor(240, 240, 240));
    p.drawRect(QRectF(16 * s, 21 * s, 10 * s, 4 * s));
    return pixmap;
}

} // namespace

QIcon WindowIcon() {
    QIcon icon;
    icon.addPixmap(MeterIcon(32));
    icon.addPixmap(MeterIcon(16));
    return icon;
}

QPixmap RefreshPicture() {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0, 120, 0), 3, Qt::SolidLine, Qt::RoundCap));
    p.drawArc(QRectF(6, 6, 20, 20), 60 * 16, 270 * 16);
    // Arrow head at the open end of the arc.
    QPainterPath head;
    head.moveTo(22, 3);
    head.lineTo(29, 9);
    head.lineTo(20, 12);
    head.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 120, 0));
    p.drawPath(head);
    return pixmap;
}
