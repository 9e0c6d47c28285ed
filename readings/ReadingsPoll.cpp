// The readings poll: one readings command per tick, one new grid row per command.

#include "main_window/ClickableImage.h"
#include "main_window/frmKDR31.h"
#include "readings/ReadingsGrid.h"

#include <QRadioButton>

namespace {

// The newest row stays the 19th in view once the grid holds more rows than that.
constexpr int ScrollFromRow = 19;
constexpr int RowsAboveNewest = 18;

} // namespace

void frmKDR31::timScan_Timer() {
    // A device lost and not yet noticed as such is not asked again.
    if (!ConnectedToDevice() || portLost_)
        return;
    // A tick that falls while a transaction waits (behind a modal box, or in an upgrade's wait)
    // is skipped: two transactions would share the receive buffer.
    if (device_->Busy() || !imgRefresh->isEnabled())
        return;
    CommandScope scope(*this);
    imgRefresh_Click();
}

void frmKDR31::imgRefresh_Click() {
    if (!imgRefresh->isEnabled() || device_->Busy())
        return;
    imgRefresh->setEnabled(false);
    const ReadingsRow row =
        device_->ReadReadings(optNLofB[0]->isChecked(), optNLofB[1]->isChecked());
    // A reading cut off by a pulled cable is no reading: the device is looked for once the
    // refresh has ended, and the grid gets no row for it. One that came whole just before the
    // cable went is shown.
    if (portLost_ && row.state != ReadingsRow::Received) {
        imgRefresh->setEnabled(true);
        return;
    }
    grdInterfaces->AppendRow(row);
    emit ReadingTaken({row, SerialNumber()});
    const int newRow = grdInterfaces->Rows() - 1;
    grdInterfaces->SetRow(newRow);
    if (newRow >= ScrollFromRow)
        grdInterfaces->SetTopRow(newRow - RowsAboveNewest);

    imgRefresh->setEnabled(true);
}
