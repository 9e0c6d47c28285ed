#include "device_link/PortList.h"

#include <QRegularExpression>
#include <algorithm>
#include <tuple>

namespace {

// "ttyS10" -> ("ttyS", 10): device names compare by their stem, then by their number, so that
// ttyS2 comes before ttyS10.
std::tuple<QString, qulonglong, QString> DeviceKey(const QString& device) {
    static const QRegularExpression trailingNumber(QStringLiteral("^(.*?)(\\d+)$"));
    const QRegularExpressionMatch m = trailingNumber.match(device);
    if (!m.hasMatch())
        return {device, 0, device};
    return {m.captured(1), m.captured(2).toULongLong(), device};
}

// Adapters with a by-id name, then adapters without one, then the other ports.
int Group(const SerialPortEntry& port) {
    if (!port.adapter)
        return 2;
    return port.byIdName.isEmpty() ? 1 : 0;
}

void Merge(SerialPortEntry& into, const SerialPortEntry& from) {
    // Of two by-id names for one device the first in order names it, whatever order the
    // directory was read in.
    if (!from.byIdName.isEmpty() && (into.byIdName.isEmpty() || from.byIdName < into.byIdName))
        into.byIdName = from.byIdName;
    for (auto field : {&SerialPortEntry::description, &SerialPortEntry::manufacturer,
                       &SerialPortEntry::serialNumber, &SerialPortEntry::origin}) {
        if ((into.*field).isEmpty())
            into.*field = from.*field;
    }
    into.adapter = into.adapter || from.adapter;
}

} // namespace

bool SerialPortEntry::operator==(const SerialPortEntry& other) const {
    return device == other.device && byIdName == other.byIdName &&
           description == other.description && manufacturer == other.manufacturer &&
           serialNumber == other.serialNumber && adapter == other.adapter && origin == other.origin;
}

bool IsAdapterDevice(const QString& device) {
    static const QRegularExpression adapterName(QStringLiteral("(^|/)tty(USB|ACM)\\d+$"));
    return adapterName.match(device).hasMatch();
}

std::vector<SerialPortEntry> OrderSerialPorts(std::vector<SerialPortEntry> ports) {
    std::vector<SerialPortEntry> merged;
    for (SerialPortEntry& port : ports) {
        if (port.device.isEmpty())
            continue;
        port.adapter = port.adapter || !port.byIdName.isEmpty() || IsAdapterDevice(port.device);
        const auto same = std::find_if(merged.begin(), merged.end(), [&](const auto& known) {
            return known.device == port.device;
        });
        if (same != merged.end())
            Merge(*same, port);
        else
            merged.push_back(port);
    }
    std::sort(merged.begin(), merged.end(), [](const auto& a, const auto& b) {
        const int groupA = Group(a);
        const int groupB = Group(b);
        if (groupA != groupB)
            return groupA < groupB;
        if (groupA == 0 && a.byIdName != b.byIdName)
            return a.byIdName < b.byIdName;
        return DeviceKey(a.device) < DeviceKey(b.device);
    });
    return merged;
}

QStringList PortFacts(const SerialPortEntry& port) {
    if (port.device.isEmpty())
        return {QStringLiteral("No serial port")};
    QStringList facts{port.device};
    if (!port.origin.isEmpty())
        facts << port.origin;
    if (!port.byIdName.isEmpty())
        facts << QStringLiteral("by-id: ") + port.byIdName;
    if (!port.description.isEmpty())
        facts << port.description;
    if (!port.manufacturer.isEmpty())
        facts << port.manufacturer;
    if (!port.serialNumber.isEmpty())
        facts << QStringLiteral("serial number ") + port.serialNumber;
    return facts;
}

QString PortToolTip(const SerialPortEntry& port) {
    return PortFacts(port).join(QLatin1Char('\n'));
}

QString PortListLine(int portNumber, const SerialPortEntry& port) {
    return QStringLiteral("COM%1: ").arg(portNumber) + PortFacts(port).join(QStringLiteral(", "));
}

QString PermissionText(const QString& device) {
    return QStringLiteral("No permission to open %1.\n"
                          "Serial ports belong to the dialout group. Add yourself to it with\n\n"
                          "    sudo usermod -aG dialout $USER\n\n"
                          "then log out and log in again.")
        .arg(device);
}

QString RefusedPortName(int portNumber, const QString& device) {
    return QStringLiteral("COM%1: (%2)").arg(portNumber).arg(device);
}

QString RefusedPortsLine(const QStringList& refusedPorts) {
    if (refusedPorts.isEmpty())
        return {};
    return QStringLiteral("No permission to open %1 (sudo usermod -aG dialout $USER, then log in "
                          "again).")
        .arg(refusedPorts.join(QStringLiteral(", ")));
}

QString NoDeviceFoundText(const QStringList& refusedPorts) {
    const QString refused = RefusedPortsLine(refusedPorts);
    const QString found = QStringLiteral("No KDR31 found");
    return refused.isEmpty() ? found : found + QLatin1Char('\n') + refused;
}
