// The main window's use of its serial port: opening, closing and the command transaction, all
// done by the device layer.

#include "main_window/frmKDR31.h"

std::uint8_t frmKDR31::OpenCom(std::uint8_t portNumber) {
    return device_->OpenCom(portNumber);
}

void frmKDR31::ClosePort() {
    device_->ClosePort();
}

QByteArray frmKDR31::SendCommand(std::uint8_t command, const QByteArray& payload) {
    return device_->SendCommand(command, payload);
}
