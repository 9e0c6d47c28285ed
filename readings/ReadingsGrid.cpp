#include "readings/ReadingsGrid.h"

#include "readings/ReadingsGridAccessible.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyleOptionHeader>
#include <algorithm>

namespace {
constexpr int CellPadding = 2;
}

ReadingsGrid::ReadingsGrid(QWidget* parent) : QAbstractScrollArea(parent) {
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(ReadingsGridAccessibleFactory);
        return true;
    }();
    (void)factoryInstalled;
    setAccessibleName(QStringLiteral("Readings"));
    widths_.fill(64);
    narrowFont_ = font();
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    verticalScrollBar()->setSingleStep(1);
    horizontalScrollBar()->setSingleStep(8);
    UpdateScrollBars();
}

void ReadingsGrid::SetRows(int rows) {
    const int before = Rows();
    table_.SetRows(std::max(1, rows));
    row_ = std::min(row_, Rows() - 1);
    UpdateScrollBars();
    viewport()->update();
    // Table rows count the data rows from 0.
    if (Rows() < before)
        NotifyRowsChanged(QAccessibleTableModelChangeEvent::RowsRemoved, Rows() - 1, before - 2);
    else if (Rows() > before)
        NotifyRowsChanged(QAccessibleTableModelChangeEvent::RowsInserted, before - 1, Rows() - 2);
}

void ReadingsGrid::AppendRow(const ReadingsRow& row) {
    table_.AppendRow(row);
    UpdateScrollBars();
    // A screen reader hears each new reading: a model change, and, for bridges that pass no
    // model changes on (AT-SPI with Qt 6.4), the new row's cells as new children of the table.
    NotifyRowsChanged(QAccessibleTableModelChangeEvent::RowsInserted, Rows() - 2, Rows() - 2);
    if (QAccessible::isActive()) {
        QAccessibleInterface* grid = QAccessible::queryAccessibleInterface(this);
        for (int column = 0; grid && grid->tableInterface() && column < GridColumns; ++column) {
            QAccessibleEvent created(grid->tableInterface()->cellAt(Rows() - 2, column),
                                     QAccessible::ObjectCreated);
            QAccessible::updateAccessibility(&created);
        }
    }
    // Only a new row that lands in view needs painting.
    const int last = Rows() - 1;
    if (last < TopRow() + VisibleDataRows() + 1)
        viewport()->update();
}

void ReadingsGrid::SetCaption(int column, const QString& caption) {
    table_.SetCaption(column, caption);
    viewport()->update();
}

void ReadingsGrid::SetColWidth(int column, int pixels) {
    widths_.at(static_cast<size_t>(column)) = std::max(0, pixels);
    UpdateScrollBars();
    viewport()->update();
}

void ReadingsGrid::SetNarrowFont(const QFont& font) {
    narrowFont_ = font;
    viewport()->update();
}

void ReadingsGrid::SetColNarrow(int column, bool narrow) {
    narrow_.at(static_cast<size_t>(column)) = narrow;
    viewport()->update();
}

QFont ReadingsGrid::CellFont(int column) const {
    return narrow_.at(static_cast<size_t>(column)) ? narrowFont_ : font();
}

int ReadingsGrid::TextWidth(int column) const {
    return std::max(0, ColWidth(column) - 2 * CellPadding);
}

void ReadingsGrid::SetCaptionHeight(int pixels) {
    captionHeight_ = std::max(1, pixels);
    UpdateScrollBars();
    viewport()->update();
}

void ReadingsGrid::SetRowHeight(int pixels) {
    rowHeight_ = std::max(1, pixels);
    UpdateScrollBars();
    viewport()->update();
}

void ReadingsGrid::SetRow(int row) {
    const int before = row_;
    row_ = std::clamp(row, 0, Rows() - 1);
    viewport()->update();
    if (row_ != before)
        NotifyCurrentCell();
}

void ReadingsGrid::SetCol(int column) {
    const int before = col_;
    col_ = std::clamp(column, 0, GridColumns - 1);
    viewport()->update();
    if (col_ != before)
        NotifyCurrentCell();
}

QRect ReadingsGrid::CellRect(int row, int column) const {
    const int width = widths_.at(static_cast<size_t>(column));
    if (row == 0)
        return QRect(ColumnLeft(column), 0, width, captionHeight_);
    return QRect(ColumnLeft(column), captionHeight_ + (row - TopRow()) * rowHeight_, width,
                 rowHeight_);
}

void ReadingsGrid::NotifyCurrentCell() {
    // Only with an assistive technology listening: the poll moves the current row every time.
    if (!QAccessible::isActive() || !hasFocus() || row_ < 1)
        return;
    QAccessibleInterface* grid = QAccessible::queryAccessibleInterface(this);
    QAccessibleInterface* cell =
        grid && grid->tableInterface() ? grid->tableInterface()->cellAt(row_ - 1, col_) : nullptr;
    if (!cell)
        return;
    QAccessibleEvent focus(cell, QAccessible::Focus);
    QAccessible::updateAccessibility(&focus);
}

void ReadingsGrid::NotifyRowsChanged(QAccessibleTableModelChangeEvent::ModelChangeType change,
                                     int first, int last) {
    if (!QAccessible::isActive())
        return;
    QAccessibleTableModelChangeEvent event(this, change);
    event.setFirstRow(first);
    event.setLastRow(last);
    QAccessible::updateAccessibility(&event);
}

int ReadingsGrid::TopRow() const {
    return verticalScrollBar()->value() + 1;
}

void ReadingsGrid::SetTopRow(int row) {
    verticalScrollBar()->setValue(row - 1);
}

int ReadingsGrid::VisibleDataRows() const {
    return std::max(0, (viewport()->height() - captionHeight_) / rowHeight_);
}

void ReadingsGrid::UpdateScrollBars() {
    const int dataRows = Rows() - 1;
    const int fit = std::max(1, VisibleDataRows());
    verticalScrollBar()->setRange(0, std::max(0, dataRows - fit));
    verticalScrollBar()->setPageStep(fit);
    horizontalScrollBar()->setRange(0, std::max(0, TotalWidth() - viewport()->width()));
    horizontalScrollBar()->setPageStep(viewport()->width());
}

int ReadingsGrid::TotalWidth() const {
    int total = 0;
    for (int w : widths_)
        total += w;
    return total;
}

int ReadingsGrid::ColumnLeft(int column) const {
    int x = -horizontalScrollBar()->value();
    for (int c = 0; c < column; ++c)
        x += widths_[static_cast<size_t>(c)];
    return x;
}

int ReadingsGrid::ColumnAt(int x) const {
    int left = -horizontalScrollBar()->value();
    for (int c = 0; c < GridColumns; ++c) {
        left += widths_[static_cast<size_t>(c)];
        if (x < left)
            return c;
    }
    return GridColumns - 1;
}

void ReadingsGrid::paintEvent(QPaintEvent*) {
    QPainter painter(viewport());
    const QPalette& pal = palette();
    const int viewWidth = viewport()->width();
    const QColor gridLine = pal.color(QPalette::Mid);

    // Caption row, fixed at the top.
    for (int c = 0; c < GridColumns; ++c) {
        const int left = ColumnLeft(c);
        const int width = widths_[static_cast<size_t>(c)];
        if (left + width < 0 || left > viewWidth || width == 0)
            continue;
        QStyleOptionHeader option;
        option.initFrom(viewport());
        option.rect = QRect(left, 0, width, captionHeight_);
        option.section = c;
        option.text = table_.TextMatrix(0, c);
        option.textAlignment = table_.CellAlignment(0, c);
        option.orientation = Qt::Horizontal;
        option.position = QStyleOptionHeader::Middle;
        // Styles may leave a clip or pen behind on the painter.
        painter.save();
        style()->drawControl(QStyle::CE_Header, &option, &painter, viewport());
        painter.restore();
    }

    // Data rows in view.
    const int first = TopRow();
    const int last = std::min(Rows() - 1, first + VisibleDataRows());
    const QFontMetrics metrics(font());
    const QFontMetrics narrowMetrics(narrowFont_);
    for (int r = first; r <= last; ++r) {
        const int top = captionHeight_ + (r - first) * rowHeight_;
        if (r == row_)
            painter.fillRect(QRect(0, top, viewWidth, rowHeight_),
                             pal.color(QPalette::AlternateBase));
        for (int c = 0; c < GridColumns; ++c) {
            const int left = ColumnLeft(c);
            const int width = widths_[static_cast<size_t>(c)];
            if (left + width < 0 || left > viewWidth || width == 0)
                continue;
            const QRect cell(left, top, width, rowHeight_);
            painter.setPen(gridLine);
            painter.drawLine(cell.topRight(), cell.bottomRight());
            painter.drawLine(cell.bottomLeft(), cell.bottomRight());
            const QString text = table_.TextMatrix(r, c);
            if (text.isEmpty())
                continue;
            const QRect inner = cell.adjusted(CellPadding, 0, -CellPadding, 0);
            const bool narrow = narrow_[static_cast<size_t>(c)];
            painter.setFont(narrow ? narrowFont_ : font());
            painter.setPen(pal.color(QPalette::Text));
            painter.drawText(
                inner, static_cast<int>(table_.CellAlignment(r, c)),
                (narrow ? narrowMetrics : metrics).elidedText(text, Qt::ElideRight, inner.width()));
        }
        if (r == row_ && hasFocus()) {
            QRect cell(ColumnLeft(col_), top, widths_[static_cast<size_t>(col_)], rowHeight_);
            painter.setPen(QPen(pal.color(QPalette::Highlight), 1, Qt::DotLine));
            painter.drawRect(cell.adjusted(0, 0, -1, -1));
        }
    }

    if (!notice_.isEmpty()) {
        const int height = metrics.height() + 2 * CellPadding;
        const QRect strip(0, viewport()->height() - height, viewWidth, height);
        painter.fillRect(strip, QColor(255, 240, 170));
        painter.setPen(QColor(90, 60, 0));
        painter.drawText(strip.adjusted(2 * CellPadding, 0, -2 * CellPadding, 0),
                         Qt::AlignVCenter | Qt::AlignLeft,
                         metrics.elidedText(notice_, Qt::ElideMiddle, viewWidth - 4 * CellPadding));
    }
}

void ReadingsGrid::SetNotice(const QString& text) {
    notice_ = text;
    setToolTip(text);
    viewport()->update();
}

void ReadingsGrid::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    UpdateScrollBars();
}

void ReadingsGrid::mousePressEvent(QMouseEvent* event) {
    const int y = event->position().toPoint().y();
    if (y >= captionHeight_) {
        const int row = TopRow() + (y - captionHeight_) / rowHeight_;
        if (row < Rows()) {
            SetRow(row);
            SetCol(ColumnAt(event->position().toPoint().x()));
        }
    }
    QAbstractScrollArea::mousePressEvent(event);
}

void ReadingsGrid::keyPressEvent(QKeyEvent* event) {
    const int fit = std::max(1, VisibleDataRows());
    int row = row_;
    switch (event->key()) {
    case Qt::Key_Up:
        row -= 1;
        break;
    case Qt::Key_Down:
        row += 1;
        break;
    case Qt::Key_PageUp:
        row -= fit;
        break;
    case Qt::Key_PageDown:
        row += fit;
        break;
    case Qt::Key_Home:
        row = 1;
        break;
    case Qt::Key_End:
        row = Rows() - 1;
        break;
    case Qt::Key_Left:
    case Qt::Key_Right: {
        SetCol(col_ + (event->key() == Qt::Key_Left ? -1 : 1));
        // Keep the current column in view.
        const QRect cell = CellRect(0, col_);
        QScrollBar* bar = horizontalScrollBar();
        if (cell.left() < 0)
            bar->setValue(bar->value() + cell.left());
        else if (cell.right() >= viewport()->width())
            bar->setValue(bar->value() + cell.right() - viewport()->width() + 1);
        return;
    }
    default:
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    SetRow(std::max(1, row));
    if (row_ < TopRow())
        SetTopRow(row_);
    else if (row_ >= TopRow() + fit)
        SetTopRow(row_ - fit + 1);
}

void ReadingsGrid::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    NotifyCurrentCell();
}

void ReadingsGrid::scrollContentsBy(int, int) {
    viewport()->update();
}
