#pragma once
// The strip below the grid: lines of text for what the window tells outside its title and its
// boxes, one label per line, stacked top to bottom in the order they were added. The window
// grows by the strip's height, so the controls above keep their places.
//
// Each line is plain text (a holder's name comes from another process and is never markup),
// can be selected to copy a command from it, and has its text as its accessible name: a new text
// reaches assistive technology as a name change of that line.

#include <QWidget>

class QLabel;
class QVBoxLayout;

class StatusStrip : public QWidget {
    Q_OBJECT
public:
    explicit StatusStrip(QWidget* parent = nullptr);

    // A new line below the others, empty; description tells an assistive technology what the
    // line is about ("Connection").
    QLabel* AddLine(const QString& objectName, const QString& description);

    // Shows text on the line; an empty text leaves it blank. The same text again changes and
    // announces nothing.
    static void Say(QLabel* line, const QString& text);

    // The height that shows every line.
    int Height() const;

private:
    QVBoxLayout* lines_;
};
