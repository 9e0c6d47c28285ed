// The main window's use of its serial port: opening, closing and the command transaction.

#include "app/ModMain.h"
#include "device_link/CommandTransaction.h"
#include "device_link/MSComm.h"
#include "main_window/frmKDR31.h"

#include <QCoreApplication>

std::uint8_t frmKDR31::OpenCom(std::uint8_t portNumber) {
    // Any property the port refuses ends the attempt with 99; nothing set before is undone and
    // a port that is open stays open.
    const bool opened =
        MSComm1->SetHandshaking(MSComm::comNone) && MSComm1->SetCommPort(portNumber) &&
        MSComm1->SetRTSEnable(true) && MSComm1->SetSettings(QStringLiteral("115200,N,8,1")) &&
        MSComm1->SetInputLen(0) && MSComm1->SetInputMode(MSComm::comInputModeText) &&
        MSComm1->SetPortOpen(true);
    return opened ? portNumber : std::uint8_t{PortStateNoDevice};
}

void frmKDR31::ClosePort() {
    MSComm1->SetPortOpen(false);
}

QByteArray frmKDR31::SendCommand(std::uint8_t command, const QByteArray& payload) {
    const TransactionHooks hooks{
        [] { QCoreApplication::processEvents(); },
        [this](const QString& text) { dialogs_->MsgBox(text); },
    };
    return RunTransaction(*MSComm1, command, payload, ModMain::RxBuffer, RxDeadline, hooks);
}
