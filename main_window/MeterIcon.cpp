#include "main_window/MeterIcon.h"

#include <QColor>
#include <QPainter>
#include <QRectF>

namespace {

// Drawn on a 32-unit square.
constexpr qreal Units = 32.0;

struct Shape {
    enum Kind { RoundedBox, Box, Circle } kind;
    QRectF area;
    QColor fill;
    QColor outline = Qt::transparent; // none when transparent
    qreal outlineWidth = 0;
    qreal cornerRadius = 0;
};

const Shape Shapes[] = {
    {Shape::RoundedBox, {2, 2, 28, 28}, QColor(70, 130, 200), QColor(30, 60, 110), 1.5, 4},
    {Shape::Box, {6, 7, 20, 9}, QColor(220, 240, 200)},
    {Shape::Circle, {7, 20, 6, 6}, QColor(255, 200, 0)},
    {Shape::Box, {16, 21, 10, 4}, QColor(240, 240, 240)},
};

} // namespace

QImage MeterIconImage(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / Units, size / Units);
    for (const Shape& shape : Shapes) {
        p.setPen(shape.outline.alpha() ? QPen(shape.outline, shape.outlineWidth) : QPen(Qt::NoPen));
        p.setBrush(shape.fill);
        switch (shape.kind) {
        case Shape::RoundedBox:
            p.drawRoundedRect(shape.area, shape.cornerRadius, shape.cornerRadius);
            break;
        case Shape::Box:
            p.drawRect(shape.area);
            break;
        case Shape::Circle:
            p.drawEllipse(shape.area);
            break;
        }
    }
    return image;
}

QByteArray MeterIconSvg() {
    QByteArray svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                     "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"32\" height=\"32\" "
                     "viewBox=\"0 0 32 32\">\n";
    for (const Shape& shape : Shapes) {
        const QRectF& a = shape.area;
        QString element;
        if (shape.kind == Shape::Circle)
            element = QStringLiteral("  <ellipse cx=\"%1\" cy=\"%2\" rx=\"%3\" ry=\"%4\"")
                          .arg(a.center().x())
                          .arg(a.center().y())
                          .arg(a.width() / 2)
                          .arg(a.height() / 2);
        else
            element =
                QStringLiteral("  <rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" rx=\"%5\"")
                    .arg(a.x())
                    .arg(a.y())
                    .arg(a.width())
                    .arg(a.height())
                    .arg(shape.cornerRadius);
        element += QStringLiteral(" fill=\"%1\"").arg(shape.fill.name());
        if (shape.outline.alpha())
            element += QStringLiteral(" stroke=\"%1\" stroke-width=\"%2\"")
                           .arg(shape.outline.name())
                           .arg(shape.outlineWidth);
        svg += element.toUtf8() + "/>\n";
    }
    return svg + "</svg>\n";
}
