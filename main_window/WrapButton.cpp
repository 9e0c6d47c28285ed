#include "main_window/WrapButton.h"

#include <QStyleOptionButton>
#include <QStylePainter>

namespace {
constexpr int TextFlags = Qt::AlignCenter | Qt::TextWordWrap | Qt::TextShowMnemonic;
}

QRect WrapButton::ContentsRect() const {
    QStyleOptionButton option;
    initStyleOption(&option);
    return style()->subElementRect(QStyle::SE_PushButtonContents, &option, this);
}

QRect WrapButton::TextRect() const {
    return fontMetrics().boundingRect(ContentsRect(), TextFlags, text());
}

void WrapButton::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    option.text.clear(); // the frame and focus as the style draws them, the caption here
    painter.drawControl(QStyle::CE_PushButton, option);
    painter.drawItemText(ContentsRect(), TextFlags, palette(), isEnabled(), text(),
                         QPalette::ButtonText);
}
