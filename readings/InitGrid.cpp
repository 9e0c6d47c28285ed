// Layout of the readings grid: 20 columns, the caption row, widths and captions.

#include "main_window/Fonts.h"
#include "main_window/frmKDR31.h"
#include "readings/ReadingsGrid.h"

namespace {

struct GridColumn {
    int twips;
    const char* caption;
};

// Columns 2, 7, 12, 14 and 17 are narrow spacers between the groups.
constexpr GridColumn Columns[GridColumns] = {
    {1000, "Date"}, {800, "Time"},  {50, ""}, {1400, "Power"},   {1400, "High"},
    {1400, "Low"},  {700, "Diff."}, {50, ""}, {1400, "Power"},   {1400, "High"},
    {1400, "Low"},  {700, "Diff."}, {50, ""}, {1000, "Tariff"},  {50, ""},
    {1400, "Gas"},  {700, "Diff."}, {50, ""}, {1200, "Extern1"}, {1200, "Extern2"},
};

// The order in which the columns are set up; only the end state counts.
constexpr int SetupOrder[GridColumns] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,
                                         10, 11, 14, 15, 16, 12, 13, 17, 18, 19};

constexpr int CaptionRowTwips = 400;
// The "Diff." columns: too narrow for the grid's font.
constexpr int NarrowColumnTwips = 700;
// Nineteen data rows fit below the caption row, so the newest row can stay the 19th in view.
constexpr int DataRowPixels = 21;

int Px(int twips) {
    return (twips + 7) / 15;
}

} // namespace

void frmKDR31::InitGrid() {
    grdInterfaces->SetRows(1);
    grdInterfaces->SetCaptionHeight(Px(CaptionRowTwips));
    grdInterfaces->SetRowHeight(DataRowPixels);
    for (int column : SetupOrder) {
        grdInterfaces->SetCol(column);
        grdInterfaces->SetColWidth(column, Px(Columns[column].twips));
        grdInterfaces->SetCaption(column, QString::fromLatin1(Columns[column].caption));
    }
    grdInterfaces->SetCol(0);
    grdInterfaces->setFont(GridFont());
    grdInterfaces->SetNarrowFont(NarrowGridFont());
    for (int column = 0; column < GridColumns; ++column)
        grdInterfaces->SetColNarrow(column, Columns[column].twips == NarrowColumnTwips);
}
