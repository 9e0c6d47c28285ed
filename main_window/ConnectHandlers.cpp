// Connecting to the device on the selected port, identifying it, and disconnecting.

#include "device/FirmwareUpgrade.h"
#include "device_link/MSComm.h"
#include "device_link/PortClaim.h"
#include "device_link/PortList.h"
#include "device_link/ServiceUnit.h"
#include "main_window/ClickableImage.h"
#include "main_window/ConnectionTexts.h"
#include "main_window/StatusStrip.h"
#include "main_window/UpDown.h"
#include "main_window/WindowTitles.h"
#include "main_window/frmKDR31.h"
#include "readings/ReadingsGrid.h"

#include <QComboBox>
#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

void frmKDR31::ShowNotConnected() {
    setWindowTitle(NotConnectedTitle());
    cmdOpenCom->show();
    imgRefresh->hide();
    fraSettings->hide();
}

bool frmKDR31::ConnectedToDevice() const {
    return device_->Connected();
}

void frmKDR31::cmdOpenCom_Click() {
    // The list holds ports 1 to 32 in order; with nothing selected this is port 0, which fails.
    const int portNumber = cmbComPort->currentIndex() + 1;
    ShowConnectOutcome(portNumber, device_->Connect(portNumber));
}

QString frmKDR31::HeldPortText(int portNumber) const {
    const QString holder = PortClaim::Holder(MSComm1->LastDevice());
    return PortHeldText(portNumber, holder, ServiceUnitOfProcess(HolderPid(holder)));
}

void frmKDR31::ShowConnectOutcome(int portNumber, ConnectOutcome outcome, bool keepRows) {
    if (outcome == ConnectOutcome::PortNotOpened) {
        ShowNotConnected();
        // The scan names such ports once, at its end.
        if (scanning_)
            return;
        // A port another program holds is named on the line, without a box: the user may well
        // have meant the other program to have it.
        StatusStrip::Say(lblConnection,
                         MSComm1->OpenRefusedAsHeld() ? HeldPortText(portNumber) : QString());
        if (MSComm1->OpenRefusedForPermission())
            dialogs_->MsgBox(PermissionText(MSComm1->LastDevice()));
        return;
    }
    if (outcome == ConnectOutcome::NotIdentified) {
        ShowNotConnected();
        cmdUpgrade->hide();
        cmdDebug->hide();
        if (!scanning_)
            StatusStrip::Say(lblConnection, QString());
        return;
    }

    const DeviceIdentity& identity = device_->Identity();
    setWindowTitle(ConnectedTitle(identity.serialNumber, portNumber, identity.version));

    cmdOpenCom->hide();
    cmdCloseCom->show();
    fraSettings->show();

    // The ranges are set around the values so a value the device reports outside them is
    // brought to the nearer end: the poll interval is always 5 to 60 s.
    updInterval->SetRange(0, 255);
    updInterval->SetValue(identity.interval);
    updInterval->SetRange(5, 60);
    optNLofB[identity.Nederland() ? 0 : 1]->setChecked(true);
    optProtocol[static_cast<size_t>(identity.ProtocolIndex())]->setChecked(true);
    updDivider->SetRange(0, 255);
    updDivider->SetValue(identity.divider);
    updDivider->SetRange(1, 10);
    // Loading the values fired the settings handlers; they are the device's own, so nothing is
    // sent back.
    timTXSettings->stop();

    timScan->setInterval(updInterval->Value() * 1000);
    // A device that comes back while the debug view is shown waits for its "Exit" to be polled.
    if (!(keepRows && fraDebug->isVisible()))
        timScan->start();
    cmdUpgrade->show();
    cmdDebug->show();
    if (!keepRows)
        grdInterfaces->SetRows(1);
    StatusStrip::Say(lblConnection, keepRows ? DeviceBackText(portNumber) : QString());
}

void frmKDR31::PortLost() {
    // An upgrade closes and reopens the port itself, and reconnects by its own steps.
    if (!ConnectedToDevice() || upgrade_->Phase() != UpgradePhase::Idle)
        return;
    portLost_ = true;
    if (commandDepth_ == 0 && !device_->Busy())
        LookForDevice();
}

void frmKDR31::LookForDevice() {
    if (!portLost_ || commandDepth_ > 0 || device_->Busy())
        return; // the end of the command in progress comes back here
    portLost_ = false;
    // Closed meanwhile, or opened anew ("Close", another port, the scan): nothing is lost.
    if (!ConnectedToDevice() || MSComm1->PortOpen() || upgrade_->Phase() != UpgradePhase::Idle)
        return;
    lostPort_ = PortState;
    PortState = PortStateNoDevice;
    timScan->stop();
    setWindowTitle(NotConnectedTitle());
    // Nothing of the device can be changed, upgraded or read while it is away. "Close" stays: it
    // ends the looking.
    fraSettings->hide();
    cmdUpgrade->hide();
    cmdDebug->hide();
    StatusStrip::Say(lblConnection, DeviceLostText(lostPort_));
    findBackoff_.Reset();
    timFindDevice->start(findBackoff_.NextMs());
}

void frmKDR31::timFindDevice_Timer() {
    if (lostPort_ == 0)
        return;
    if (commandDepth_ > 0 || device_->Busy()) {
        // Not in the middle of another exchange: shortly after it.
        timFindDevice->start(100);
        return;
    }
    CommandScope scope(*this);
    const int port = lostPort_;
    device_->Disconnect();
    const ConnectOutcome outcome = device_->Connect(port);
    if (lostPort_ != port)
        return; // ended while the device was asked (the window closed)
    if (outcome == ConnectOutcome::Connected) {
        lostPort_ = 0;
        ShowConnectOutcome(port, outcome, true);
        return;
    }
    // Not (yet) back. A port that came back held by another program is named as such, and still
    // looked for: that program may let it go.
    const QString line = MSComm1->OpenRefusedAsHeld() ? HeldPortText(port) : DeviceLostText(port);
    device_->Disconnect();
    PortState = PortStateNoDevice;
    StatusStrip::Say(lblConnection, line);
    findBackoff_.Failed();
    timFindDevice->start(findBackoff_.NextMs());
}

void frmKDR31::StopLooking() {
    lostPort_ = 0;
    portLost_ = false;
    timFindDevice->stop();
}

void frmKDR31::cmdCloseCom_Click() {
    StopLooking();
    StatusStrip::Say(lblConnection, QString());
    ShowCapacity(nullptr); // figures that no reading will bring up to date
    timScan->stop();
    device_->Disconnect();
    setWindowTitle(NotConnectedTitle());
    cmdOpenCom->show();
    imgRefresh->hide();
    fraSettings->hide();
    cmdCloseCom->hide();
}

void frmKDR31::cmbComPort_Click() {
    cmdCloseCom_Click();
}

void frmKDR31::SelectPortEntry(int index) {
    // Selecting runs the selection handling, also for the entry already selected, so every
    // attempt of the port scan starts from a closed port.
    cmbComPort->setCurrentIndex(index);
    cmbComPort_Click();
}
