// Finding the device without knowing its port: try the list's entries in order.

#include "device_link/MSComm.h"
#include "device_link/PortList.h"
#include "main_window/ConnectionTexts.h"
#include "main_window/PortComboBox.h"
#include "main_window/frmKDR31.h"
#include <QComboBox>

void frmKDR31::cmdScanCom_Click() {
    // The scan runs inside one command; a second click meanwhile is held until it has ended, and
    // then finds the window connected or the scan over.
    if (scanning_)
        return;
    scanning_ = true;
    RefreshPortList(*cmbComPort);
    QStringList refused;
    QStringList held;
    // Each attempt moves the list's selection, which runs the close handling, then connects the
    // way "Open" does and shows the outcome.
    device_->Scan(
        1, cmbComPort->count(), [this](int port) { SelectPortEntry(port - 1); },
        [this, &refused, &held](int port, ConnectOutcome outcome) {
            ShowConnectOutcome(port, outcome);
            if (MSComm1->OpenRefusedForPermission())
                refused << RefusedPortName(port, MSComm1->LastDevice());
            else if (outcome == ConnectOutcome::PortNotOpened && MSComm1->OpenRefusedAsHeld())
                held << HeldPortText(port);
        });
    scanning_ = false;
    if (PortState == PortStateNoDevice)
        dialogs_->MsgBox(NoDeviceFoundText(refused, held));
}
