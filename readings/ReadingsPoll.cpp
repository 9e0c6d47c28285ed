// The readings poll: one readings command per tick, one new grid row per command.

#include "device_link/MSComm.h"
#include "device_link/ReplyParser.h"
#include "main_window/ClickableImage.h"
#include "main_window/frmKDR31.h"
#include "readings/ReadingsGrid.h"

#include <QDateTime>
#include <QRadioButton>

namespace {

// The newest row stays the 19th in view once the grid holds more rows than that.
constexpr int ScrollFromRow = 19;
constexpr int RowsAboveNewest = 18;

} // namespace

void frmKDR31::timScan_Timer() {
    if (!ConnectedToDevice())
        return;
    // A tick that falls while a transaction waits (during its one yield, or behind a modal box)
    // is skipped: two transactions would share the receive buffer.
    if (MSComm1->InTransaction() || !imgRefresh->isEnabled())
        return;
    imgRefresh_Click();
}

void frmKDR31::imgRefresh_Click() {
    if (!imgRefresh->isEnabled() || MSComm1->InTransaction())
        return;
    imgRefresh->setEnabled(false);
    const QByteArray result = SendCommand(Command::Readings, {});

    ReadingsRow row;
    row.time = QDateTime::currentMSecsSinceEpoch();
    if (result.at(0) != char(ReplyOk)) {
        row.state = ReadingsRow::Failed;
    } else {
        row.state = ReadingsRow::Received;
        // A reply shorter than 13 fields fills only the fields it covers completely.
        const int covered = FieldsCovered(result.size());
        for (int i = 0; i < covered; ++i) {
            const ReadingsField& field = ReadingsFields[static_cast<size_t>(i)];
            row.fields[static_cast<size_t>(i)] = FieldValue(result, field.offset + 2);
            row.present |= static_cast<std::uint16_t>(1u << i);
        }
        if (covered > TariffField)
            row.tariffLow = TariffText(row.fields[TariffField], optNLofB[0]->isChecked(),
                                       optNLofB[1]->isChecked()) == QLatin1String("Low");
    }
    grdInterfaces->AppendRow(row);
    emit ReadingTaken({row, DeviceSerial});
    const int newRow = grdInterfaces->Rows() - 1;
    grdInterfaces->SetRow(newRow);
    if (newRow >= ScrollFromRow)
        grdInterfaces->SetTopRow(newRow - RowsAboveNewest);

    imgRefresh->setEnabled(true);
}
