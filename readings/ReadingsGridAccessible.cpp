#include "readings/ReadingsGridAccessible.h"

#include "readings/ReadingsGrid.h"

#include <QAccessibleWidget>
#include <QPointer>
#include <QScrollBar>
#include <algorithm>
#include <map>
#include <utility>

namespace {

// One cell, or a column header (grid row 0). Cells have no object of their own: they stand for
// a row and column of the grid and read it afresh every time they are asked.
class CellAccessible : public QAccessibleInterface, public QAccessibleTableCellInterface {
public:
    CellAccessible(ReadingsGrid* grid, int gridRow, int column)
        : grid_(grid), gridRow_(gridRow), column_(column) {}

    bool isValid() const override {
        return grid_ && gridRow_ < grid_->Rows() && column_ < GridColumns;
    }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return Table() ? Table()->window() : nullptr; }
    QAccessibleInterface* parent() const override { return Table(); }
    QAccessibleInterface* child(int) const override { return nullptr; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }

    QString text(QAccessible::Text t) const override {
        if (!isValid())
            return {};
        if (t == QAccessible::Name || t == QAccessible::Value)
            return grid_->TextMatrix(gridRow_, column_);
        return {};
    }
    void setText(QAccessible::Text, const QString&) override {}

    QRect rect() const override {
        if (!isValid())
            return {};
        const QRect cell = grid_->CellRect(gridRow_, column_);
        return QRect(grid_->viewport()->mapToGlobal(cell.topLeft()), cell.size());
    }

    QAccessible::Role role() const override {
        return gridRow_ == 0 ? QAccessible::ColumnHeader : QAccessible::Cell;
    }

    QAccessible::State state() const override {
        QAccessible::State st;
        if (!isValid()) {
            st.invalid = true;
            return st;
        }
        const QRect view = grid_->viewport()->rect();
        const QRect cell = grid_->CellRect(gridRow_, column_);
        if (!view.intersects(cell)) {
            st.offscreen = true;
            st.invisible = true;
        }
        if (gridRow_ > 0) {
            st.focusable = true;
            st.selectable = true;
            const bool current = gridRow_ == grid_->Row() && column_ == grid_->Col();
            st.selected = current;
            st.focused = current && grid_->hasFocus();
            st.readOnly = true;
        }
        return st;
    }

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::TableCellInterface)
            return static_cast<QAccessibleTableCellInterface*>(this);
        return nullptr;
    }

    // Table cell interface: table rows count the data rows from 0.
    bool isSelected() const override { return state().selected; }
    QList<QAccessibleInterface*> columnHeaderCells() const override {
        QAccessibleTableInterface* table = Table() ? Table()->tableInterface() : nullptr;
        if (!table || gridRow_ == 0)
            return {};
        return {HeaderOf(column_)};
    }
    QList<QAccessibleInterface*> rowHeaderCells() const override { return {}; }
    int columnIndex() const override { return column_; }
    int rowIndex() const override { return gridRow_ - 1; }
    int columnExtent() const override { return 1; }
    int rowExtent() const override { return 1; }
    QAccessibleInterface* table() const override { return Table(); }

private:
    QAccessibleInterface* Table() const {
        return grid_ ? QAccessible::queryAccessibleInterface(grid_.data()) : nullptr;
    }
    QAccessibleInterface* HeaderOf(int column) const {
        QAccessibleInterface* table = Table();
        return table ? table->child(column) : nullptr;
    }

    QPointer<ReadingsGrid> grid_;
    int gridRow_;
    int column_;
};

// The grid as a table. Its children are the 20 column headers, then the cells row by row.
// Cell interfaces are made when first asked for and kept, so that an assistive technology gets
// the same object for the same cell every time.
class GridAccessible : public QAccessibleWidget, public QAccessibleTableInterface {
public:
    explicit GridAccessible(ReadingsGrid* grid) : QAccessibleWidget(grid, QAccessible::Table) {}
    ~GridAccessible() override {
        for (const auto& [cell, id] : cells_)
            QAccessible::deleteAccessibleInterface(id);
    }

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::TableInterface)
            return static_cast<QAccessibleTableInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    int childCount() const override { return GridColumns * Grid()->Rows(); }
    QAccessibleInterface* child(int index) const override {
        if (index < 0 || index >= childCount())
            return nullptr;
        return Cell(index / GridColumns, index % GridColumns);
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        auto* other = const_cast<QAccessibleInterface*>(child);
        QAccessibleTableCellInterface* cell = other ? other->tableCellInterface() : nullptr;
        if (!cell || other->parent() != this)
            return -1;
        const int gridRow = child->role() == QAccessible::ColumnHeader ? 0 : cell->rowIndex() + 1;
        return gridRow * GridColumns + cell->columnIndex();
    }
    QAccessibleInterface* childAt(int x, int y) const override {
        const QPoint at = Grid()->viewport()->mapFromGlobal(QPoint(x, y));
        const int first = Grid()->TopRow();
        const int last = std::min(Grid()->Rows() - 1, first + Grid()->VisibleDataRows());
        for (int row = 0; row <= last; row = row == 0 ? first : row + 1)
            for (int column = 0; column < GridColumns; ++column)
                if (Grid()->CellRect(row, column).contains(at))
                    return Cell(row, column);
        return nullptr;
    }
    QAccessibleInterface* focusChild() const override {
        if (!Grid()->hasFocus() || Grid()->Row() < 1)
            return nullptr;
        return Cell(Grid()->Row(), Grid()->Col());
    }

    // Table interface.
    QAccessibleInterface* caption() const override { return nullptr; }
    QAccessibleInterface* summary() const override { return nullptr; }
    QAccessibleInterface* cellAt(int row, int column) const override {
        if (row < 0 || row >= rowCount() || column < 0 || column >= GridColumns)
            return nullptr;
        return Cell(row + 1, column);
    }
    int columnCount() const override { return GridColumns; }
    int rowCount() const override { return Grid()->Rows() - 1; }
    QString columnDescription(int column) const override { return Grid()->TextMatrix(0, column); }
    QString rowDescription(int) const override { return {}; }

    // The current cell is the one selected cell.
    int selectedCellCount() const override { return Grid()->Row() > 0 ? 1 : 0; }
    QList<QAccessibleInterface*> selectedCells() const override {
        if (Grid()->Row() < 1)
            return {};
        return {Cell(Grid()->Row(), Grid()->Col())};
    }
    int selectedColumnCount() const override { return 0; }
    int selectedRowCount() const override { return 0; }
    QList<int> selectedColumns() const override { return {}; }
    QList<int> selectedRows() const override { return {}; }
    bool isColumnSelected(int) const override { return false; }
    bool isRowSelected(int) const override { return false; }
    bool selectRow(int row) override {
        if (row < 0 || row >= rowCount())
            return false;
        Grid()->SetRow(row + 1);
        return true;
    }
    bool selectColumn(int column) override {
        if (column < 0 || column >= GridColumns)
            return false;
        Grid()->SetCol(column);
        return true;
    }
    bool unselectRow(int) override { return false; }
    bool unselectColumn(int) override { return false; }

    void modelChange(QAccessibleTableModelChangeEvent*) override {
        // Rows are only ever appended or cut from the bottom: the cells of rows that are gone
        // go with them, every other cell stays where it is.
        for (auto it = cells_.begin(); it != cells_.end();) {
            if (it->first.first >= Grid()->Rows()) {
                QAccessible::deleteAccessibleInterface(it->second);
                it = cells_.erase(it);
            } else {
                ++it;
            }
        }
    }

private:
    ReadingsGrid* Grid() const { return static_cast<ReadingsGrid*>(widget()); }

    QAccessibleInterface* Cell(int gridRow, int column) const {
        const auto key = std::make_pair(gridRow, column);
        const auto it = cells_.find(key);
        if (it != cells_.end())
            return QAccessible::accessibleInterface(it->second);
        auto* cell = new CellAccessible(Grid(), gridRow, column);
        cells_[key] = QAccessible::registerAccessibleInterface(cell);
        return cell;
    }

    mutable std::map<std::pair<int, int>, QAccessible::Id> cells_;
};

} // namespace

QAccessibleInterface* ReadingsGridAccessibleFactory(const QString& className, QObject* object) {
    if (className == QLatin1String("ReadingsGrid") && object && object->isWidgetType())
        return new GridAccessible(static_cast<ReadingsGrid*>(object));
    return nullptr;
}
