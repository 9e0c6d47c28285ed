// Layout of the readings grid: 20 columns, the caption row, widths and captions.

#include "main_window/frmKDR31.h"
#include "readings/ReadingsModel.h"

#include <QHeaderView>
#include <QTableView>

namespace {

struct GridColumn {
    int twips;
    const char* caption;
};

// Columns 2, 7, 12, 14 and 17 are narrow spacers between the groups.
constexpr GridColumn Columns[GridColumns] = {
    {1000, "Date"}, {800, "Time"},   {50, ""},      {1400, "Power"}, {1400, "High"},
    {1400, "Low"},  {700, "Diff."},  {50, ""},      {1400, "Power"}, {1400, "High"},
    {1400, "Low"},  {700, "Diff."},  {50, ""},      {1000, "Tariff"}, {50, ""},
    {1400, "Gas"},  {700, "Diff."},  {50, ""},      {1200, "Extern1"}, {1200, "Extern2"},
};

constexpr int CaptionRowTwips = 400;
// Nineteen data rows fit below the caption row, so the newest row can stay the 19th visible.
constexpr int DataRowPixels = 21;

int Px(int twips) {
    return (twips + 7) / 15;
}

} // namespace

void frmKDR31::InitGrid() {
    grdModel->SetRows(1);

    QHeaderView* captions = grdInterfaces->horizontalHeader();
    captions->setFixedHeight(Px(CaptionRowTwips));
    captions->setMinimumSectionSize(1);
    captions->setSectionResizeMode(QHeaderView::Fixed);
    captions->setHighlightSections(false);

    QHeaderView* rows = grdInterfaces->verticalHeader();
    rows->hide();
    rows->setMinimumSectionSize(1);
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setDefaultSectionSize(DataRowPixels);

    grdInterfaces->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    grdInterfaces->setSelectionMode(QAbstractItemView::SingleSelection);
    grdInterfaces->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grdInterfaces->setWordWrap(false);

    for (int column = 0; column < GridColumns; ++column) {
        grdInterfaces->setColumnWidth(column, Px(Columns[column].twips));
        grdModel->SetCaption(column, QString::fromLatin1(Columns[column].caption));
    }
}
