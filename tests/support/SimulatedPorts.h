#pragma once
// Points the tool's port numbers at simulated devices. Every port of the list is mapped: the
// ones without a device to a path that does not exist, so that no test depends on the serial
// ports of the machine it runs on.

#include "simulator/Kdr31Simulator.h"
#include "support/ProcessUsage.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <map>
#include <memory>

inline void MapPorts(const std::map<int, std::string>& devices) {
    for (int port = 1; port <= 32; ++port) {
        const QByteArray name = "KDR31_COM" + QByteArray::number(port);
        const auto it = devices.find(port);
        const QByteArray path = it != devices.end()
                                    ? QByteArray::fromStdString(it->second)
                                    : "/nonexistent/kdr31-port-" + QByteArray::number(port);
        qputenv(name.constData(), path);
    }
}

// A simulated KDR31 on port number `port` (COM<port>:).
struct SimulatedDevice {
    sim::Kdr31Simulator device;
    int port = 1;

    explicit SimulatedDevice(int portNumber = 1) : port(portNumber) {}
    bool Start() {
        if (!device.Start())
            return false;
        MapPorts({{port, device.PortPath()}});
        return true;
    }
};

// A simulated KDR31 on port number `port` behind a link, as /dev/serial/by-id/... reaches an
// adapter: pulled out (HangUp), it can be plugged in again and comes back at the same path.
struct ReplugDevice {
    QTemporaryDir dir;
    QString link = dir.filePath(QStringLiteral("kdr31"));
    std::unique_ptr<sim::Kdr31Simulator> device;
    int port = 1;

    explicit ReplugDevice(int portNumber = 1) : port(portNumber) {}
    // Plugs a new simulated device in (the first time too), reporting the refresh interval.
    bool Start(std::uint8_t interval = 5) {
        device = std::make_unique<sim::Kdr31Simulator>();
        if (!device->Start())
            return false;
        sim::DeviceSettings settings;
        settings.interval = interval;
        device->SetSettings(settings);
        QFile::remove(link);
        MapPorts({{port, link.toStdString()}});
        return QFile::link(QString::fromStdString(device->PortPath()), link);
    }
};

inline sim::Bytes ToBytes(const QByteArray& bytes) {
    return sim::Bytes(bytes.begin(), bytes.end());
}

inline QByteArray FromBytes(const sim::Bytes& bytes) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()));
}
