#include "main_window/Artwork.h"
#include "main_window/MeterIcon.h"

#include <QPainter>
#include <QPainterPath>

namespace {

QPixmap MeterIcon(int size) {
    return QPixmap::fromImage(MeterIconImage(size));
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
