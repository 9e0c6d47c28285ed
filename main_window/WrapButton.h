#pragma once
// A push button whose caption wraps onto further lines when it is wider than the button, as
// "Open in Notepad" must on its 59-pixel button.

#include <QPushButton>

class WrapButton : public QPushButton {
    Q_OBJECT
public:
    using QPushButton::QPushButton;

    // Where the caption may go, and where its wrapped lines go.
    QRect ContentsRect() const;
    QRect TextRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;
};
