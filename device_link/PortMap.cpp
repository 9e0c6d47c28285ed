#include "device_link/PortMap.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QtGlobal>

namespace {

constexpr int ListedPorts = 32;

#ifndef Q_OS_WIN
QString ByIdDirectory() {
    const QString chosen = qEnvironmentVariable("KDR31_SERIAL_BY_ID_DIR");
    return chosen.isEmpty() ? QStringLiteral("/dev/serial/by-id") : chosen;
}

// Reads the links of the by-id directory and the ports Qt reports, and orders them.
std::vector<SerialPortEntry> ReadPorts() {
    std::vector<SerialPortEntry> ports;
    const QDir byId(ByIdDirectory());
    for (const QFileInfo& link : byId.entryInfoList(QDir::Files | QDir::System, QDir::Name)) {
        // A link whose device has gone (an adapter pulled out a moment ago) names no port.
        const QString device = link.canonicalFilePath();
        if (device.isEmpty())
            continue;
        SerialPortEntry port;
        port.device = device;
        port.byIdName = link.fileName();
        port.adapter = true;
        ports.push_back(port);
    }
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        if (info.systemLocation().isEmpty())
            continue;
        SerialPortEntry port;
        const QString canonical = QFileInfo(info.systemLocation()).canonicalFilePath();
        port.device = canonical.isEmpty() ? info.systemLocation() : canonical;
        port.description = info.description();
        port.manufacturer = info.manufacturer();
        port.serialNumber = info.serialNumber();
        port.adapter = info.hasVendorIdentifier();
        ports.push_back(port);
    }
    return OrderSerialPorts(std::move(ports));
}

struct Cache {
    bool read = false;
    std::vector<SerialPortEntry> ports;
};

Cache& TheCache() {
    static Cache cache;
    return cache;
}
#endif

} // namespace

void PortMap::Refresh() {
#ifndef Q_OS_WIN
    Cache& cache = TheCache();
    cache.ports = ReadPorts();
    cache.read = true;
#endif
}

SerialPortEntry PortMap::Port(int portNumber) {
    SerialPortEntry port;
#ifdef Q_OS_WIN
    port.device = QStringLiteral("COM%1").arg(portNumber);
#else
    const QString variable = QStringLiteral("KDR31_COM%1").arg(portNumber);
    const QByteArray mapped = qgetenv(variable.toLatin1().constData());
    if (!mapped.isEmpty()) {
        port.device = QString::fromLocal8Bit(mapped);
        port.origin = QStringLiteral("set by ") + variable;
        return port;
    }
    Cache& cache = TheCache();
    if (!cache.read)
        Refresh();
    if (portNumber >= 1 && portNumber <= static_cast<int>(cache.ports.size()))
        port = cache.ports[static_cast<size_t>(portNumber - 1)];
#endif
    return port;
}

QStringList PortMap::ListLines() {
    Refresh();
    QStringList lines;
    for (int k = 1; k <= ListedPorts; ++k) {
        const SerialPortEntry port = Port(k);
        QString line = PortListLine(k, port);
        // A KDR31_COM<k> variable may name a device that is not there (yet).
        if (!port.device.isEmpty() && !QFileInfo::exists(port.device))
            line += QStringLiteral(", not present");
        lines << line;
    }
    return lines;
}
