#include "main_window/Fonts.h"

#include <QFontDatabase>
#include <QStringList>

namespace {

const QString DejaVuSans = QStringLiteral("DejaVu Sans");

QFont Sans(int pixels, int stretch) {
    QFont font;
    font.setFamilies({DejaVuSans, QStringLiteral("MS Sans Serif")});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixels);
    if (stretch != 100) {
        font.setStretch(stretch);
        // The regular face, narrowed by scaling: the same widths whether or not the condensed
        // DejaVu faces are installed (Qt would otherwise take one and scale that).
        if (QFontDatabase::styles(DejaVuSans).contains(QStringLiteral("Book")))
            font.setStyleName(QStringLiteral("Book"));
    }
    return font;
}

} // namespace

QFont DialogFont() {
    return Sans(11, 100);
}

QFont GridFont() {
    return Sans(10, 85);
}

QFont NarrowGridFont() {
    return Sans(9, 70);
}
