#pragma once
// One command transaction on the open port: write the request frame, then collect the reply
// until the deadline. The wait runs a local event loop that takes no user input (see
// MSComm::WaitForInput): the window is repainted and answers accessibility requests, and no
// click or key press can start a second exchange inside this one. It never spins.

#include "device_link/MSComm.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <functional>

struct TransactionHooks {
    // Runs once, right after the request is written and before the first wait; may be empty.
    std::function<void()> afterRequest;
    // Shows a modal message box ("Settings error").
    std::function<void(const QString&)> msgBox;
};

inline const QString SettingsErrorText = QStringLiteral("Settings error");

// Returns the result: 0 followed by the reply data, or one result byte (250, 251, 252, 255).
// A transaction always lasts until its deadline, except where nothing more can arrive: a port
// that is not open (nothing is written, 252 at once), a port lost during the wait, and a call
// made while another transaction on the same port is still waiting (refused with 252, nothing
// written, so the two never share the receive buffer).
QByteArray RunTransaction(MSComm& port, std::uint8_t command, const QByteArray& payload,
                          QByteArray& rxBuffer, double& rxDeadline, const TransactionHooks& hooks);
