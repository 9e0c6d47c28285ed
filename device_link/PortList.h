#pragma once
// Which serial port stands behind each entry of the port list on a machine without COM numbers,
// and the texts that describe a port to the user. No I/O here: device_link/PortMap reads the
// machine's ports and hands them to these functions.

#include <QString>
#include <QStringList>
#include <vector>

// One serial port present on the machine.
struct SerialPortEntry {
    QString device;   // the node that is opened, e.g. /dev/ttyUSB0
    QString byIdName; // its name in /dev/serial/by-id; empty when it has none
    QString description;
    QString manufacturer;
    QString serialNumber;
    bool adapter = false; // a USB or ACM adapter
    QString origin;       // how the port was chosen when not by the machine's list, e.g. an
                          // environment variable; empty otherwise

    bool operator==(const SerialPortEntry& other) const;
};

// The order of the list entries COM1:, COM2:, ...: USB and ACM adapters first, sorted by their
// /dev/serial/by-id name (those without one after those with, by device name), then the other
// ports by device name (ttyS2 before ttyS10). A device listed twice is kept once, with what is
// known of it merged.
std::vector<SerialPortEntry> OrderSerialPorts(std::vector<SerialPortEntry> ports);

// True when a device name stands for a USB or ACM adapter (ttyUSB<n>, ttyACM<n>).
bool IsAdapterDevice(const QString& device);

// What is known of a port, one fact a line: the device, its by-id name, description,
// manufacturer and serial number; "No serial port" for an entry without a device.
QStringList PortFacts(const SerialPortEntry& port);
// The list entry's tooltip: PortFacts on lines of their own.
QString PortToolTip(const SerialPortEntry& port);
// One line of `kdr31-cli ports`: "COM<k>:" and the facts, separated by ", ".
QString PortListLine(int portNumber, const SerialPortEntry& port);

// Why "Open" failed on a port that exists but may not be opened, and the fix.
QString PermissionText(const QString& device);
// A refused port as the scan names it: "COM<k>: (<device>)".
QString RefusedPortName(int portNumber, const QString& device);
// The line the scan adds to "No KDR31 found" for the ports refused for permission (each named
// by RefusedPortName); empty when there were none.
QString RefusedPortsLine(const QStringList& refusedPorts);
// "No KDR31 found", with the refused ports' line when there is one.
QString NoDeviceFoundText(const QStringList& refusedPorts);
