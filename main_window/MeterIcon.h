#pragma once
// The program's icon, a meter: a rounded box with a display and a pulse LED. One description
// draws the window icon and writes the desktop's icons (SVG and PNG), so they cannot drift apart.

#include <QByteArray>
#include <QImage>

// The icon at size x size pixels on a transparent background.
QImage MeterIconImage(int size);
// The same icon as an SVG document.
QByteArray MeterIconSvg();
