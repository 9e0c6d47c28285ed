// Finding the device without knowing its port: try the list's entries in order.

#include "main_window/frmKDR31.h"
#include <QComboBox>

void frmKDR31::cmdScanCom_Click() {
    // The scan runs inside one command; a second click meanwhile is held until it has ended, and
    // then finds the window connected or the scan over.
    if (scanning_)
        return;
    scanning_ = true;
    // Each attempt moves the list's selection, which runs the close handling, then connects the
    // way "Open" does and shows the outcome.
    device_->Scan(
        1, cmbComPort->count(), [this](int port) { SelectPortEntry(port - 1); },
        [this](int port, ConnectOutcome outcome) { ShowConnectOutcome(port, outcome); });
    scanning_ = false;
    if (PortState == PortStateNoDevice)
        dialogs_->MsgBox(QStringLiteral("No KDR31 found"));
}
