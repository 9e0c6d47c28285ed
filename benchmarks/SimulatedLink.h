#pragma once
// A serial link to a simulated KDR31 for the benchmarks: the real port class on the simulator's
// pseudo-terminal, and transactions on it as the window runs them.

#include "device_link/CommandTransaction.h"
#include "device_link/MSComm.h"
#include "simulator/Kdr31Simulator.h"

#include <QCoreApplication>
#include <QString>

struct SimulatedLink {
    sim::Kdr31Simulator device;
    MSComm port;
    QByteArray rxBuffer;
    double rxDeadline = 0;

    // Empty when the link is up, otherwise why not.
    QString Open() {
        if (!device.Start())
            return QStringLiteral("no pseudo-terminal");
        qputenv("KDR31_COM1", QByteArray::fromStdString(device.PortPath()));
        port.SetCommPort(1);
        port.SetSettings(QStringLiteral("115200,N,8,1"));
        if (!port.SetPortOpen(true))
            return QStringLiteral("port did not open");
        return {};
    }

    QByteArray Send(std::uint8_t command, const QByteArray& payload = {}) {
        const TransactionHooks hooks{nullptr, nullptr};
        return RunTransaction(port, command, payload, rxBuffer, rxDeadline, hooks);
    }
};
