// Connecting to the device on the selected port, identifying it, and disconnecting.

#include "main_window/ClickableImage.h"
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

void frmKDR31::ShowConnectOutcome(int portNumber, ConnectOutcome outcome) {
    if (outcome == ConnectOutcome::PortNotOpened) {
        ShowNotConnected();
        return;
    }
    if (outcome == ConnectOutcome::NotIdentified) {
        ShowNotConnected();
        cmdUpgrade->hide();
        cmdDebug->hide();
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
    timScan->start();
    cmdUpgrade->show();
    cmdDebug->show();
    grdInterfaces->SetRows(1);
}

void frmKDR31::cmdCloseCom_Click() {
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
