#pragma once
// The rows behind the readings grid. A logging tool may run for weeks, so a row is stored as the
// raw values it was built from (64 bytes) and its cell texts are made when the grid paints them.
// Row 0 is the caption row; data rows count from 1.

#include "readings/ReadingsDecode.h"

#include <QLocale>
#include <QString>
#include <array>
#include <cstdint>
#include <deque>

constexpr int GridColumns = 20;

struct ReadingsRow {
    enum State : std::uint8_t {
        Blank = 0,    // added by the grid's row count, never written
        Failed = 1,   // the readings command failed: "???" in column 3
        Received = 2, // the fields the reply covered are shown
    };
    qint64 time = 0; // PC clock when the row was written, ms since the epoch
    std::array<float, ReadingsFieldCount> fields{};
    std::uint16_t present = 0; // bit i set: field i was in the reply
    State state = Blank;
    bool tariffLow = false; // outcome of the tariff rule when the row was written
};

class ReadingsTable {
public:
    explicit ReadingsTable(const QLocale& locale = QLocale::system());

    // The caption row included.
    int Rows() const { return static_cast<int>(rows_.size()) + 1; }
    // Fewer rows drop data rows from the bottom; more add blank rows.
    void SetRows(int rows);
    void AppendRow(const ReadingsRow& row) { rows_.push_back(row); }
    const ReadingsRow& DataRow(int row) const { return rows_.at(static_cast<size_t>(row - 1)); }

    void SetCaption(int column, const QString& caption);
    // The text of a cell as the grid shows it; row 0 holds the captions.
    QString TextMatrix(int row, int column) const;
    Qt::Alignment CellAlignment(int row, int column) const;

private:
    std::deque<ReadingsRow> rows_;
    std::array<QString, GridColumns> captions_;
    std::array<int, GridColumns> fieldOfColumn_{};
    QLocale locale_;
    QString dateFormat_;
    QString timeFormat_;
};
