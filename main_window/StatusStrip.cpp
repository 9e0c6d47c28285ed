#include "main_window/StatusStrip.h"

#include <QLabel>
#include <QVBoxLayout>

StatusStrip::StatusStrip(QWidget* parent) : QWidget(parent), lines_(new QVBoxLayout(this)) {
    lines_->setContentsMargins(0, 0, 0, 0);
    lines_->setSpacing(2);
}

QLabel* StatusStrip::AddLine(const QString& objectName, const QString& description) {
    auto* line = new QLabel(this);
    line->setObjectName(objectName);
    line->setTextFormat(Qt::PlainText);
    line->setTextInteractionFlags(Qt::TextSelectableByMouse);
    line->setAccessibleDescription(description);
    // An empty line keeps its height, so the window does not change size as messages come and go.
    line->setMinimumHeight(line->fontMetrics().height());
    lines_->addWidget(line);
    return line;
}

void StatusStrip::Say(QLabel* line, const QString& text) {
    if (line->text() == text)
        return;
    // The label has no accessible name of its own: its text is its name, and QLabel tells
    // assistive technology of every new text as a change of that name.
    line->setText(text);
    // The text stays readable where the line is too short for it.
    line->setToolTip(text);
}

int StatusStrip::Height() const {
    return lines_->sizeHint().height();
}
