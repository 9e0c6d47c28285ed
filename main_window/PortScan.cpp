// Finding the device without knowing its port: try the list's entries in order.

#include "main_window/frmKDR31.h"
#include <QComboBox>

void frmKDR31::cmdScanCom_Click() {
    // The scan yields during each identification; a second click meanwhile must not start a
    // second scan inside the first.
    if (scanning_)
        return;
    scanning_ = true;
    const int last = cmbComPort->count() - 1;
    for (int index = 0; index <= last; ++index) {
        SelectPortEntry(index);
        cmdOpenCom_Click();
        if (ConnectedToDevice())
            break;
    }
    scanning_ = false;
    if (PortState == PortStateNoDevice)
        dialogs_->MsgBox(QStringLiteral("No KDR31 found"));
}
