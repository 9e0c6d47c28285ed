#pragma once
// The window's fonts. The layout is in fixed positions and narrow columns; these faces and sizes
// keep every text whole with the fonts of a plain desktop (DejaVu on Debian), at 96 dpi and when
// Qt scales the window up.

#include <QFont>

// Controls: 11 pixels (8 points at 96 dpi), DejaVu Sans where it is installed, else the sans
// serif face of the system.
QFont DialogFont();

// Readings cells: DejaVu Sans at 10 pixels and 85 % width, so that "-1.234568E+07 Wh" fits a
// 1400-twip column and a time of day with seconds an 800-twip one.
QFont GridFont();

// The narrow "Diff." columns (700 twips): 9 pixels at 70 % width, so that "1234.568 Wh" fits.
QFont NarrowGridFont();
