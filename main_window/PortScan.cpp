// Finding the device without knowing its port: try the list's entries in order.

#include "device_link/MSComm.h"
#include "device_link/PortList.h"
#include "main_window/PortComboBox.h"
#include "main_window/frmKDR31.h"
#include <QComboBox>

void frmKDR31::cmdScanCom_Click() {
    // The scan yields during each identification; a second click meanwhile must not start a
    // second scan inside the first.
    if (scanning_)
        return;
    scanning_ = true;
    RefreshPortList(*cmbComPort);
    QStringList refused;
    const int last = cmbComPort->count() - 1;
    for (int index = 0; index <= last; ++index) {
        SelectPortEntry(index);
        cmdOpenCom_Click();
        if (MSComm1->OpenRefusedForPermission())
            refused << RefusedPortName(index + 1, MSComm1->LastDevice());
        if (ConnectedToDevice())
            break;
    }
    scanning_ = false;
    if (PortState == PortStateNoDevice)
        dialogs_->MsgBox(NoDeviceFoundText(refused));
}
