// Connecting to the device on the selected port, identifying it, and disconnecting.

#include "app/ModMain.h"
#include "device_link/MSComm.h"
#include "device_link/PortList.h"
#include "device_link/ReplyParser.h"
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

namespace {

// The identify data: firmware version (4 bytes), refresh interval, country, protocol, divider,
// then the serial number (8 characters).
constexpr int IdentifySettingsBytes = 8;

int ResultByte(const QByteArray& result, int position1) {
    return static_cast<std::uint8_t>(result.at(position1 - 1));
}

} // namespace

void frmKDR31::ShowNotConnected() {
    setWindowTitle(NotConnectedTitle());
    cmdOpenCom->show();
    imgRefresh->hide();
    fraSettings->hide();
}

bool frmKDR31::ConnectedToDevice() const {
    return PortState != PortStateClosed && PortState != PortStateNoDevice;
}

void frmKDR31::cmdOpenCom_Click() {
    // The list holds ports 1 to 32 in order; with nothing selected this is port 0, which fails.
    const int portNumber = cmbComPort->currentIndex() + 1;
    PortState = OpenCom(static_cast<std::uint8_t>(portNumber));
    if (PortState != portNumber) {
        ShowNotConnected();
        // The scan names such ports once, at its end.
        if (!scanning_ && MSComm1->OpenRefusedForPermission())
            dialogs_->MsgBox(PermissionText(MSComm1->LastDevice()));
        return;
    }

    const QByteArray result = SendCommand(Command::Identify, {});
    // The result is 0, the data and the end marker; the settings need all eight data bytes
    // before the serial number, so a shorter reply is no identification either.
    const int dataBytes = result.size() - 2;
    if (result.at(0) != char(ReplyOk) || dataBytes < IdentifySettingsBytes) {
        PortState = PortStateNoDevice;
        ShowNotConnected();
        cmdUpgrade->hide();
        cmdDebug->hide();
        return;
    }

    for (int i = 0; i < 4; ++i)
        ModMain::DeviceFwVersion[static_cast<size_t>(i)] =
            static_cast<std::uint8_t>(ResultByte(result, i + 2));
    const QString serialNumber =
        result.size() >= 13 ? QString::fromLatin1(result.mid(9, 8)) : QString();
    setWindowTitle(ConnectedTitle(serialNumber, portNumber, ModMain::DeviceFwVersion));

    cmdOpenCom->hide();
    cmdCloseCom->show();
    fraSettings->show();

    // The ranges are set around the values so a value the device reports outside them is
    // brought to the nearer end: the poll interval is always 5 to 60 s.
    updInterval->SetRange(0, 255);
    updInterval->SetValue(ResultByte(result, 6));
    updInterval->SetRange(5, 60);
    optNLofB[ResultByte(result, 7) == 1 ? 0 : 1]->setChecked(true);
    const int protocol = ResultByte(result, 8);
    optProtocol[protocol == 2 || protocol == 4 ? static_cast<size_t>(protocol) : 5]->setChecked(
        true);
    updDivider->SetRange(0, 255);
    updDivider->SetValue(ResultByte(result, 9));
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
    PortState = PortStateClosed;
    timScan->stop();
    ClosePort();
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
