#pragma once
// The readings grid: a caption row over rows of readings, painted straight from the rows' raw
// values. Only the rows in view are ever touched, so appending a row costs the same with ten
// rows or ten million (a general table view keeps per-row geometry and relays it out in full).

#include "readings/ReadingsTable.h"

#include <QAbstractScrollArea>
#include <QAccessible>
#include <array>

class ReadingsGrid : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit ReadingsGrid(QWidget* parent = nullptr);

    const ReadingsTable& Table() const { return table_; }

    // Row counts include the caption row (row 0).
    int Rows() const { return table_.Rows(); }
    void SetRows(int rows);
    void AppendRow(const ReadingsRow& row);
    QString TextMatrix(int row, int column) const { return table_.TextMatrix(row, column); }

    void SetCaption(int column, const QString& caption);
    void SetColWidth(int column, int pixels);
    int ColWidth(int column) const { return widths_.at(static_cast<size_t>(column)); }
    // Narrow columns show their cells in a font of their own; the others in the grid's font.
    void SetNarrowFont(const QFont& font);
    void SetColNarrow(int column, bool narrow);
    QFont CellFont(int column) const;
    // Room for text in a cell of the column.
    int TextWidth(int column) const;
    void SetCaptionHeight(int pixels);
    int CaptionHeight() const { return captionHeight_; }
    void SetRowHeight(int pixels);
    int RowHeight() const { return rowHeight_; }

    // The current cell.
    int Row() const { return row_; }
    int Col() const { return col_; }
    void SetRow(int row);
    void SetCol(int column);

    // A cell's place in the viewport (row 0 is the caption row), as it is painted; rows out of
    // view lie above or below it.
    QRect CellRect(int row, int column) const;

    // The first data row in view below the caption row, and how many data rows fit there.
    int TopRow() const;
    void SetTopRow(int row);
    int VisibleDataRows() const;

    // A line of text over the bottom of the grid, for a condition the user should know about
    // that must not stop the poll (the history not being recorded); empty hides it.
    void SetNotice(const QString& text);
    QString Notice() const { return notice_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    void UpdateScrollBars();
    // Tells assistive technology that the current cell has the focus.
    void NotifyCurrentCell();
    void NotifyRowsChanged(QAccessibleTableModelChangeEvent::ModelChangeType change, int first,
                           int last);
    int ColumnAt(int x) const;
    int ColumnLeft(int column) const;
    int TotalWidth() const;

    ReadingsTable table_;
    std::array<int, GridColumns> widths_{};
    std::array<bool, GridColumns> narrow_{};
    QFont narrowFont_;
    int captionHeight_ = 20;
    int rowHeight_ = 20;
    int row_ = 0;
    int col_ = 0;
    QString notice_;
};
