// The order of the port list on a machine without COM numbers, from made-up port descriptions.

#include "device_link/PortList.h"

#include <QTest>

namespace {

// "device|by-id name|q" describes a port: the by-id name may be empty, and a trailing "|q"
// marks a port Qt reports with a USB vendor number.
std::vector<SerialPortEntry> Ports(const QStringList& descriptions) {
    std::vector<SerialPortEntry> ports;
    for (const QString& description : descriptions) {
        const QStringList parts = description.split(QLatin1Char('|'));
        SerialPortEntry port;
        port.device = parts.value(0);
        port.byIdName = parts.value(1);
        port.adapter = parts.value(2) == QLatin1String("q");
        ports.push_back(port);
    }
    return ports;
}

QStringList Descriptions(const std::vector<SerialPortEntry>& ports) {
    QStringList descriptions;
    for (const SerialPortEntry& port : ports)
        descriptions << port.device + QLatin1Char('|') + port.byIdName;
    return descriptions;
}

} // namespace

class TestPortList : public QObject {
    Q_OBJECT
private slots:
    void order_data() {
        QTest::addColumn<QStringList>("present");
        QTest::addColumn<QStringList>("listed");
        QTest::newRow("no ports") << QStringList{} << QStringList{};
        QTest::newRow("adapters first, by their by-id name, not their device")
            << QStringList{"/dev/ttyS0|", "/dev/ttyUSB0|usb-Prolific_2303-if00-port0",
                           "/dev/ttyACM0|usb-Arduino_Uno_7523-if00",
                           "/dev/ttyUSB1|usb-FTDI_FT232R_A1B2C3-if00-port0"}
            << QStringList{"/dev/ttyACM0|usb-Arduino_Uno_7523-if00",
                           "/dev/ttyUSB1|usb-FTDI_FT232R_A1B2C3-if00-port0",
                           "/dev/ttyUSB0|usb-Prolific_2303-if00-port0", "/dev/ttyS0|"};
        QTest::newRow("numbers compare as numbers")
            << QStringList{"/dev/ttyS10|", "/dev/ttyS2|", "/dev/ttyS1|"}
            << QStringList{"/dev/ttyS1|", "/dev/ttyS2|", "/dev/ttyS10|"};
        QTest::newRow("adapters without a by-id name (no udev) after those with one")
            << QStringList{"/dev/ttyS0|", "/dev/ttyUSB10|", "/dev/ttyUSB9|", "/dev/ttyAMA0||q",
                           "/dev/ttyUSB3|usb-B-port0"}
            << QStringList{"/dev/ttyUSB3|usb-B-port0", "/dev/ttyAMA0|", "/dev/ttyUSB9|",
                           "/dev/ttyUSB10|", "/dev/ttyS0|"};
        QTest::newRow("a device from by-id and from Qt is listed once, with its by-id name")
            << QStringList{"/dev/ttyUSB0|", "/dev/ttyS4|", "/dev/ttyUSB0|usb-Z-port0",
                           "/dev/ttyUSB0|usb-A-port0"}
            << QStringList{"/dev/ttyUSB0|usb-A-port0", "/dev/ttyS4|"};
    }
    void order() {
        QFETCH(QStringList, present);
        QFETCH(QStringList, listed);
        QCOMPARE(Descriptions(OrderSerialPorts(Ports(present))), listed);
    }

    void whatTheEntryTells() {
        SerialPortEntry known;
        known.device = "/dev/ttyUSB0";
        known.description = "FT232R USB UART";
        SerialPortEntry byId = known;
        byId.description.clear();
        byId.byIdName = "usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0";
        byId.manufacturer = "FTDI";
        byId.serialNumber = "A1B2C3";
        const std::vector<SerialPortEntry> merged = OrderSerialPorts({known, byId});
        QCOMPARE(merged.size(), size_t(1));
        QCOMPARE(PortToolTip(merged[0]),
                 QStringLiteral("/dev/ttyUSB0\nby-id: usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0\n"
                                "FT232R USB UART\nFTDI\nserial number A1B2C3"));
        QCOMPARE(PortListLine(3, SerialPortEntry{}), QStringLiteral("COM3: No serial port"));
    }
};

QTEST_MAIN(TestPortList)
#include "test_port_list.moc"
