// Connecting, identifying, disconnecting and scanning, through the real window and serial port
// against simulated devices.

#include "app/ModMain.h"
#include "device_link/MSComm.h"
#include "device_link/PortList.h"
#include "device_link/PortMap.h"
#include "device_link/ReplyParser.h"
#include "device_link/ServiceUnit.h"
#include "main_window/ClickableImage.h"
#include "main_window/ConnectionTexts.h"
#include "main_window/UpDown.h"
#include "readings/ReadingsGrid.h"
#include "support/SimulatedPorts.h"
#include "support/WindowFixture.h"
#include "support/WindowInput.h"

#include <QAccessible>
#include <QAccessibleActionInterface>

#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QRadioButton>
#include <QScopeGuard>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <fcntl.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

bool IsNotConnectedLook(frmKDR31& w) {
    return w.windowTitle() == QLatin1String("KDR31 V1.9 ----") && w.cmdOpenCom->isVisible() &&
           !w.fraSettings->isVisible() && !w.imgRefresh->isVisible();
}

// The ports as a user finds them with no KDR31_COM variables: the machine's own, plus adapters in
// a by-id directory the test makes, each a link to a simulated device or to a node that refuses.
struct ByIdPorts {
    QTemporaryDir dir;
    ByIdPorts() {
        for (int port = 1; port <= 32; ++port)
            qunsetenv(("KDR31_COM" + QByteArray::number(port)).constData());
        qputenv("KDR31_SERIAL_BY_ID_DIR", dir.path().toLocal8Bit());
    }
    ~ByIdPorts() { qunsetenv("KDR31_SERIAL_BY_ID_DIR"); }
    bool Link(const QString& name, const QString& target) {
        return QFile::link(target, dir.filePath(name));
    }
};

bool OpenIsRefused(const QString& path) {
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0)
        ::close(fd);
    return fd < 0 && errno == EACCES;
}

// A path whose opening the system refuses with EACCES, as a serial port is refused to a user
// outside the dialout group. A file without permissions does it for an ordinary user; root
// passes those checks, but the kernel refuses a write open of a read-only sysfs attribute to
// root too.
QString RefusedNode() {
    static QTemporaryDir dir;
    const QString locked = dir.filePath(QStringLiteral("no-permission"));
    QFile file(locked);
    if (file.open(QIODevice::WriteOnly) && file.setPermissions({}) && OpenIsRefused(locked))
        return locked;
    const QString attribute = QStringLiteral("/sys/kernel/uevent_seqnum");
    return OpenIsRefused(attribute) ? attribute : QString();
}

} // namespace

class TestConnect : public QObject {
    Q_OBJECT
private slots:
    // A click that arrives during an exchange waits for it: a double click on "Open" connects
    // once (the second click neither reopens the port nor lands on "Close", which takes its
    // place), and the poll runs.
    void doubleClickOnOpenConnectsOnce() {
        SimulatedDevice sim(1);
        QVERIFY(sim.Start());
        WindowUnderTest t;
        t.PickPort(1);
        QueueClick(t.w.cmdOpenCom, 2);
        QTRY_VERIFY(t.w.timScan->isActive());
        QTest::qWait(200); // the held second click has been handled
        QCOMPARE(t.w.PortState, std::uint8_t(1));
        QVERIFY(t.w.cmdCloseCom->isVisible());
        QVERIFY(t.w.timScan->isActive());
        QCOMPARE(sim.device.ReceivedFrames(Command::Identify).size(), size_t(1));
    }

    // An assistive technology's press of "Open" during the first Open's identification (its
    // press action clicks from a timer, inside the exchange) is held, and dropped at its turn:
    // "Open" has given way to "Close". Run, it would reopen the open port and leave the window
    // looking not connected with the poll ignored.
    void openPressedDuringTheIdentificationIsDropped() {
        SimulatedDevice sim(1);
        QVERIFY(sim.Start());
        sim.device.SetLateDelay(250ms); // inside the 0.3 s an answer may take
        sim.device.SetFault(Command::Identify, sim::Fault::Late, 1);
        WindowUnderTest t;
        t.PickPort(1);
        QTimer::singleShot(10, &t.w, [&t] {
            QAccessibleInterface* open = QAccessible::queryAccessibleInterface(t.w.cmdOpenCom);
            open->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        });
        t.w.cmdOpenCom->click();
        QTRY_VERIFY(t.w.timScan->isActive());
        QTest::qWait(300); // the held press has had its turn
        QCOMPARE(t.w.PortState, std::uint8_t(1));
        QVERIFY(t.w.cmdCloseCom->isVisible());
        QVERIFY(!IsNotConnectedLook(t.w));
        QVERIFY(t.w.timScan->isActive());
        QCOMPARE(sim.device.ReceivedFrames(Command::Identify).size(), size_t(1));
        QCOMPARE(t.log->messages, QStringList());
        t.w.timScan_Timer(); // and the poll is taken
        QTRY_COMPARE(t.w.grdInterfaces->Rows(), 2);
    }

    // An assistive technology's press of "Scan" during a poll's wait (its press action clicks
    // from a timer) runs after the poll, and its identifications are real exchanges.
    void scanPressedDuringAPollFindsTheDevice() {
        SimulatedDevice sim(2);
        QVERIFY(sim.Start());
        WindowUnderTest t;
        t.Connect(2);
        QVERIFY(t.w.timScan->isActive());
        QTimer::singleShot(10, &t.w, [&t] {
            QAccessibleInterface* scan = QAccessible::queryAccessibleInterface(t.w.cmdScanCom);
            scan->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        });
        t.w.timScan_Timer();
        QTRY_COMPARE(sim.device.ReceivedFrames(Command::Identify).size(), size_t(2));
        QTRY_VERIFY(t.w.timScan->isActive());
        QCOMPARE(t.w.PortState, std::uint8_t(2));
        QCOMPARE(t.log->messages, QStringList());
        QCOMPARE(t.w.grdInterfaces->Rows(), 1); // the poll's row went with the reconnection
    }

    void connectsAndLoadsTheSettings() {
        SimulatedDevice sim(3);
        QVERIFY(sim.Start());
        sim.device.SetVersion({2, 1, 0, 15});
        sim.device.SetSettings({30, 1, 4, 7});
        WindowUnderTest t;
        frmKDR31& w = t.w;
        w.grdInterfaces->AppendRow({}); // a row from an earlier connection
        t.Connect(3);

        QCOMPARE(w.windowTitle(), QStringLiteral("Zevizudove V1.9 s/n:KD310042 Listening to "
                                                 "COM3 KDR31 FW V2.1.0.15"));
        QCOMPARE(w.PortState, std::uint8_t(3));
        QCOMPARE(ModMain::DeviceFwVersion, (std::array<std::uint8_t, 4>{2, 1, 0, 15}));
        QVERIFY(!w.cmdOpenCom->isVisible());
        for (QWidget* shown : std::initializer_list<QWidget*>{w.cmdCloseCom, w.fraSettings,
                                                              w.cmdUpgrade, w.cmdDebug})
            QVERIFY2(shown->isVisible(), qPrintable(shown->objectName()));
        QCOMPARE(w.updInterval->Value(), 30);
        QCOMPARE(w.txtInterval->text(), QStringLiteral("30 sec."));
        QVERIFY(w.optNLofB[0]->isChecked());
        QVERIFY(w.optProtocol[4]->isChecked());
        QCOMPARE(w.updDivider->Value(), 7);
        QCOMPARE(w.txtDivider->text(), QStringLiteral("7"));
        QVERIFY(w.timScan->isActive());
        QCOMPARE(w.timScan->interval(), 30000);
        QCOMPARE(w.grdInterfaces->Rows(), 1);

        // The values just loaded are the device's own: nothing goes back.
        QVERIFY(!w.timTXSettings->isActive());
        QTest::qWait(1200);
        QVERIFY(sim.device.ReceivedFrames(Command::Settings).empty());
    }

    void serialNumberLength_data() {
        QTest::addColumn<int>("dataBytes");
        QTest::addColumn<QString>("serial");
        QTest::newRow("12-byte result: none") << 10 << "";
        QTest::newRow("13-byte result: four, the last the end marker") << 11 << "KD3#";
        QTest::newRow("18-byte result: all eight") << 16 << "KD310042";
    }
    void serialNumberLength() {
        QFETCH(int, dataBytes);
        QFETCH(QString, serial);
        SimulatedDevice sim(1);
        QVERIFY(sim.Start());
        sim.device.SetIdentifyDataLength(dataBytes);
        WindowUnderTest t;
        t.Connect(1);
        QVERIFY(t.w.windowTitle().startsWith("Zevizudove V1.9 s/n:" + serial + " Listening"));
    }

    void countryAndProtocolCodes_data() {
        QTest::addColumn<int>("country");
        QTest::addColumn<int>("protocol");
        QTest::addColumn<int>("countryButton");
        QTest::addColumn<int>("protocolButton");
        QTest::newRow("1, 2") << 1 << 2 << 0 << 2;
        QTest::newRow("0, 5") << 0 << 5 << 1 << 5;
        QTest::newRow("2, 0") << 2 << 0 << 1 << 5;
        QTest::newRow("7, 3") << 7 << 3 << 1 << 5;
        QTest::newRow("1, 4") << 1 << 4 << 0 << 4;
    }
    void countryAndProtocolCodes() {
        QFETCH(int, country);
        QFETCH(int, protocol);
        QFETCH(int, countryButton);
        QFETCH(int, protocolButton);
        SimulatedDevice sim(1);
        QVERIFY(sim.Start());
        sim.device.SetSettings({10, std::uint8_t(country), std::uint8_t(protocol), 1});
        WindowUnderTest t;
        t.Connect(1);
        QVERIFY(t.w.optNLofB[size_t(countryButton)]->isChecked());
        QVERIFY(t.w.optProtocol[size_t(protocolButton)]->isChecked());
    }

    void settingsOutOfRangeAreBroughtIntoRange_data() {
        QTest::addColumn<int>("interval");
        QTest::addColumn<int>("divider");
        QTest::addColumn<int>("shownInterval");
        QTest::addColumn<int>("shownDivider");
        QTest::newRow("too small") << 3 << 0 << 5 << 1;
        QTest::newRow("too large") << 200 << 15 << 60 << 10;
        QTest::newRow("zero interval") << 0 << 255 << 5 << 10;
    }
    void settingsOutOfRangeAreBroughtIntoRange() {
        QFETCH(int, interval);
        QFETCH(int, divider);
        QFETCH(int, shownInterval);
        QFETCH(int, shownDivider);
        SimulatedDevice sim(1);
        QVERIFY(sim.Start());
        sim.device.SetSettings({std::uint8_t(interval), 1, 5, std::uint8_t(divider)});
        WindowUnderTest t;
        t.Connect(1);
        QCOMPARE(t.w.updInterval->Value(), shownInterval);
        QCOMPARE(t.w.txtInterval->text(), QString::number(shownInterval) + " sec.");
        QCOMPARE(t.w.updDivider->Value(), shownDivider);
        QCOMPARE(t.w.timScan->interval(), shownInterval * 1000);
        QVERIFY(!t.w.timTXSettings->isActive());
    }

    void failedIdentification_data() {
        QTest::addColumn<int>("dataBytes");
        QTest::addColumn<int>("fault");
        QTest::newRow("silent") << 16 << int(sim::Fault::Silent);
        QTest::newRow("wrong end marker") << 16 << int(sim::Fault::WrongEnd);
        QTest::newRow("seven data bytes") << 7 << int(sim::Fault::None);
    }
    void failedIdentification() {
        QFETCH(int, dataBytes);
        QFETCH(int, fault);
        SimulatedDevice sim(2);
        QVERIFY(sim.Start());
        sim.device.SetIdentifyDataLength(dataBytes);
        sim.device.SetFault(Command::Identify, sim::Fault(fault));
        WindowUnderTest t;
        frmKDR31& w = t.w;
        ModMain::DeviceFwVersion = {9, 9, 9, 9};
        w.cmdUpgrade->show();
        t.Connect(2);
        QCOMPARE(w.PortState, std::uint8_t(PortStateNoDevice));
        QVERIFY(IsNotConnectedLook(w));
        QVERIFY(!w.cmdUpgrade->isVisible() && !w.cmdDebug->isVisible());
        QVERIFY(!w.timScan->isActive());
        QCOMPARE(ModMain::DeviceFwVersion, (std::array<std::uint8_t, 4>{9, 9, 9, 9}));
        QVERIFY(w.MSComm1->PortOpen()); // left open...
        w.cmdOpenCom->click();          // ...so "Open" again fails at the open
        QCOMPARE(sim.device.ReceivedFrames(Command::Identify).size(), size_t(1));

        // Choosing an entry, the same one too, closes it.
        t.PickPort(2);
        QVERIFY(!w.MSComm1->PortOpen());
        QCOMPARE(w.PortState, std::uint8_t(PortStateClosed));
    }

    void pickingTheSameEntryAgainDisconnects() {
        SimulatedDevice sim(2);
        QVERIFY(sim.Start());
        WindowUnderTest t;
        t.Connect(2);
        QCOMPARE(t.w.PortState, std::uint8_t(2));
        t.PickPort(2); // the user picks COM2: again
        QCOMPARE(t.w.PortState, std::uint8_t(PortStateClosed));
        QVERIFY(!t.w.MSComm1->PortOpen());
    }

    void openWithNothingSelected() {
        MapPorts({});
        WindowUnderTest t;
        t.w.cmdOpenCom->click();
        QCOMPARE(t.w.PortState, std::uint8_t(PortStateNoDevice));
        QVERIFY(IsNotConnectedLook(t.w));
        QVERIFY(!t.w.MSComm1->PortOpen());
        QVERIFY(t.log->messages.isEmpty());
    }

    void closeDisconnects() {
        SimulatedDevice sim(4);
        QVERIFY(sim.Start());
        WindowUnderTest t;
        frmKDR31& w = t.w;
        t.Connect(4);
        w.grdInterfaces->AppendRow({});
        w.timTXSettings->start();
        w.cmdCloseCom->click();
        QCOMPARE(w.PortState, std::uint8_t(PortStateClosed));
        QVERIFY(!w.MSComm1->PortOpen());
        QVERIFY(IsNotConnectedLook(w));
        QVERIFY(!w.cmdCloseCom->isVisible());
        QVERIFY(!w.timScan->isActive());
        // Left as they were.
        QVERIFY(w.cmdUpgrade->isVisible() && w.cmdDebug->isVisible());
        QVERIFY(w.timTXSettings->isActive());
        QCOMPARE(w.grdInterfaces->Rows(), 2);
        QVERIFY(t.log->messages.isEmpty());

        // Connecting again clears the rows of the earlier connection.
        t.Connect(4);
        QCOMPARE(w.PortState, std::uint8_t(4));
        QCOMPARE(w.grdInterfaces->Rows(), 1);
    }

    void scanFindsTheDeviceOnALaterPort() {
        sim::Kdr31Simulator silent; // opens, but answers nothing
        sim::Kdr31Simulator device;
        QVERIFY(silent.Start() && device.Start());
        silent.SetFault(Command::Identify, sim::Fault::Silent);
        MapPorts({{2, silent.PortPath()}, {6, device.PortPath()}});
        WindowUnderTest t;
        t.w.cmdScanCom->click();
        QCOMPARE(t.w.PortState, std::uint8_t(6));
        QCOMPARE(t.w.cmbComPort->currentIndex(), 5);
        QVERIFY(t.w.windowTitle().contains("Listening to COM6 "));
        QVERIFY(t.log->messages.isEmpty());
        QCOMPARE(silent.ReceivedFrames(Command::Identify).size(), size_t(1));
        QCOMPARE(device.ReceivedFrames(Command::Identify).size(), size_t(1));
        QVERIFY(t.w.timScan->isActive());
    }

    void scanFindsNothing() {
        MapPorts({});
        WindowUnderTest t;
        t.w.cmdScanCom->click();
        QCOMPARE(t.log->messages, QStringList{QStringLiteral("No KDR31 found")});
        QCOMPARE(t.w.PortState, std::uint8_t(PortStateNoDevice));
        QCOMPARE(t.w.cmbComPort->currentIndex(), 31);
        QVERIFY(IsNotConnectedLook(t.w));
    }

    void scanOnTheFirstEntryAlreadySelected() {
        SimulatedDevice sim(1);
        QVERIFY(sim.Start());
        WindowUnderTest t;
        t.Connect(1);
        QCOMPARE(t.w.PortState, std::uint8_t(1));
        // COM1: is selected and open: the scan still starts from a closed port.
        t.w.cmdScanCom->click();
        QCOMPARE(t.w.PortState, std::uint8_t(1));
        QCOMPARE(sim.device.ReceivedFrames(Command::Identify).size(), size_t(2));
        QVERIFY(t.log->messages.isEmpty());
    }

    void scanFindsAnAdapterPluggedInAfterStart() {
        ByIdPorts ports;
        sim::Kdr31Simulator device;
        QVERIFY(device.Start());
        WindowUnderTest t;
        t.Connect(1); // reads the ports before the adapter is there
        QVERIFY(!t.w.windowTitle().contains("Listening"));

        QVERIFY(ports.Link("usb-Zz_KDR31-if00-port0", QString::fromStdString(device.PortPath())));
        const QString refused = RefusedNode();
        if (!refused.isEmpty())
            QVERIFY(ports.Link("usb-Aa_Refused-if00-port0", refused));
        const int devicePort = refused.isEmpty() ? 1 : 2;
        t.w.cmdScanCom->click();
        QCOMPARE(t.w.PortState, std::uint8_t(devicePort));
        QVERIFY(t.log->messages.isEmpty()); // found: the refused port is not mentioned
        const QString pty =
            QFileInfo(QString::fromStdString(device.PortPath())).canonicalFilePath();
        const QString tip = t.w.cmbComPort->itemData(devicePort - 1, Qt::ToolTipRole).toString();
        QCOMPARE(tip, pty + "\nby-id: usb-Zz_KDR31-if00-port0");
        QCOMPARE(
            PortMap::ListLines().value(devicePort - 1),
            QStringLiteral("COM%1: %2, by-id: usb-Zz_KDR31-if00-port0").arg(devicePort).arg(pty));

        // Opening the list reads the ports again: an adapter plugged in now shows in it.
        QVERIFY(ports.Link("usb-Ab_Second-if00-port0", "/dev/null"));
        t.w.cmbComPort->showPopup();
        t.w.cmbComPort->hidePopup();
        QCOMPARE(t.w.cmbComPort->itemData(devicePort - 1, Qt::ToolTipRole).toString(),
                 QStringLiteral("/dev/null\nby-id: usb-Ab_Second-if00-port0"));
    }

    void permissionRefusalExplained() {
        ByIdPorts ports;
        const QString refused = RefusedNode();
        if (refused.isEmpty())
            QSKIP("nothing here refuses an open with EACCES");
        // A port another program holds is refused as well, but not for want of permission.
        sim::Kdr31Simulator device;
        QVERIFY(device.Start());
        QSerialPort otherProgram(QString::fromStdString(device.PortPath()));
        QVERIFY(otherProgram.open(QIODevice::ReadWrite));
        QVERIFY(ports.Link("usb-Aa_Refused-if00-port0", refused));
        QVERIFY(ports.Link("usb-Bb_InUse-if00-port0", QString::fromStdString(device.PortPath())));
        WindowUnderTest t;
        t.Connect(1);
        QCOMPARE(t.log->messages, QStringList{PermissionText(refused)});
        QVERIFY(t.log->messages[0].contains(refused + "."));
        QVERIFY(t.log->messages[0].contains("sudo usermod -aG dialout $USER"));
        QVERIFY(IsNotConnectedLook(t.w));
        t.Connect(2);
        QCOMPARE(t.log->messages.size(), 1);

        t.log->messages.clear();
        t.w.cmdScanCom->click();
        QCOMPARE(t.log->messages,
                 QStringList{"No KDR31 found\nNo permission to open COM1: (" + refused +
                             ") (sudo usermod -aG dialout $USER, then log in again)."});
    }

    // The cable pulled out between two readings, and plugged in again: no row while the device
    // is away, the line below the grid says so (and tells a screen reader), the window looks for
    // it at growing intervals and goes on by itself once it is back, with the rows of before.
    // Pulled again, "Close" ends the looking.
    void pulledCableIsFoundAgain() {
        ReplugDevice kdr31(1);
        QVERIFY(kdr31.Start(5));
        WindowUnderTest t;
        frmKDR31& w = t.w;
        t.Connect(1);
        w.timScan_Timer();
        w.timScan_Timer();
        QCOMPARE(w.grdInterfaces->Rows(), 3);
        const QString firstTime = w.grdInterfaces->TextMatrix(1, 1);

        kdr31.device->HangUp();
        const QString lost =
            QStringLiteral("The KDR31 on COM1: was unplugged and is being looked for.");
        QTRY_COMPARE_WITH_TIMEOUT(w.lblConnection->text(), lost, 7000);
        // What a screen reader reads of the line. (The offscreen platform has no accessibility
        // bridge: the name change event that announces it cannot be seen here.)
        QAccessibleInterface* line = QAccessible::queryAccessibleInterface(w.lblConnection);
        QCOMPARE(line->text(QAccessible::Name), lost);
        QCOMPARE(line->text(QAccessible::Description), QStringLiteral("Connection"));
        QCOMPARE(w.windowTitle(), QStringLiteral("KDR31 V1.9 ----"));
        QCOMPARE(w.PortState, std::uint8_t(PortStateNoDevice));
        QVERIFY(!w.timScan->isActive() && !w.fraSettings->isVisible());
        QVERIFY(w.cmdCloseCom->isVisible());
        QCOMPARE(w.timFindDevice->interval(), 1000);
        QTRY_COMPARE_WITH_TIMEOUT(w.timFindDevice->interval(), 2000, 3000); // one attempt failed
        w.timScan_Timer(); // a tick that still comes asks nothing
        QCOMPARE(w.grdInterfaces->Rows(), 3);
        QVERIFY(t.log->messages.isEmpty());

        QVERIFY(kdr31.Start(5));
        QElapsedTimer away;
        away.start();
        QTRY_COMPARE_WITH_TIMEOUT(w.grdInterfaces->Rows(), 4, 35000);
        QVERIFY(away.elapsed() < 35000);
        QCOMPARE(w.PortState, std::uint8_t(1));
        QVERIFY(w.windowTitle().contains(QStringLiteral("Listening to COM1 ")));
        QVERIFY(w.fraSettings->isVisible() && w.cmdUpgrade->isVisible());
        QCOMPARE(w.lblConnection->text(), QStringLiteral("The KDR31 on COM1: is back."));
        QCOMPARE(w.grdInterfaces->TextMatrix(1, 1), firstTime);
        for (int row = 1; row < 4; ++row)
            QVERIFY(w.grdInterfaces->TextMatrix(row, 3) != QStringLiteral("???"));

        kdr31.device->HangUp();
        QTRY_COMPARE_WITH_TIMEOUT(w.lblConnection->text(), lost, 7000);
        w.cmdCloseCom->click();
        QVERIFY(!w.timFindDevice->isActive());
        QCOMPARE(w.lblConnection->text(), QString());
        QCOMPARE(w.PortState, std::uint8_t(PortStateClosed));
        QVERIFY(IsNotConnectedLook(w));
    }

    // Another program polling the port: "Open" names it on the line, without a box, and a scan
    // that finds nothing names it in its box.
    void portHeldByAPollIsNamed() {
        SimulatedDevice sim(1);
        QVERIFY(sim.Start());
        QTemporaryDir dataHome; // the poll's history stays out of the user's
        QProcess poll;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_DATA_HOME"), dataHome.path());
        poll.setProcessEnvironment(environment);
        poll.start(QStringLiteral(KDR31_CLI_PATH),
                   {"poll", "--port", QString::fromStdString(sim.device.PortPath()), "--no-db"});
        const auto stop = qScopeGuard([&poll] {
            poll.kill();
            poll.waitForFinished();
        });
        QVERIFY(sim.device.WaitForFrames(Command::Readings, 1, 10s)); // it has the port

        WindowUnderTest t;
        t.Connect(1);
        QCOMPARE(t.w.PortState, std::uint8_t(PortStateNoDevice));
        QVERIFY(IsNotConnectedLook(t.w));
        QVERIFY(t.log->messages.isEmpty());
        const QString held =
            QStringLiteral("COM1: is in use by kdr31-cli (pid %1)").arg(poll.processId());
        QCOMPARE(t.w.lblConnection->text(), held);

        t.w.cmdScanCom->click();
        QCOMPARE(t.log->messages, QStringList{"No KDR31 found\n" + held});
        QCOMPARE(sim.device.ReceivedFrames(Command::Identify).size(), size_t(1)); // the poll's
    }

    // Whether a port's holder is the readings service, from what /proc tells of it; the line
    // then says how to free the port.
    void serviceHolderIsNamed_data() {
        QTest::addColumn<QByteArray>("cgroup");
        QTest::addColumn<QByteArray>("commandLine");
        QTest::addColumn<QString>("line");
        // /proc/<pid>/cmdline: the arguments, each ended by a NUL.
        const auto args = [](std::initializer_list<const char*> arguments) {
            QByteArray line;
            for (const char* argument : arguments)
                line.append(argument).append('\0');
            return line;
        };
        const QString plain = QStringLiteral("COM1: is in use by kdr31-cli (pid 42)");
        const QString service =
            plain + " of the MQTT service; to free the port: sudo systemctl stop ";
        QTest::newRow("the unit's cgroup (v2)")
            << QByteArray("0::/system.slice/system-kdr31\\x2dmqtt.slice/"
                          "kdr31-mqtt@ttyACM0.service\n")
            << QByteArray() << service + "kdr31-mqtt@ttyACM0";
        QTest::newRow("the unit's cgroup (v1), a by-id instance")
            << QByteArray("12:pids:/system.slice\n1:name=systemd:/system.slice/"
                          "kdr31-mqtt@serial-by\\x2did-usb\\x2dFTDI-if00-port0.service\n")
            << QByteArray() << service + "'kdr31-mqtt@serial-by\\x2did-usb\\x2dFTDI-if00-port0'";
        QTest::newRow("no systemd: the unit's command line")
            << QByteArray("0::/\n")
            << args({"/usr/bin/kdr31-cli", "poll", "--wait", "--config", "/etc/kdr31/ttyUSB0.conf",
                     "--port", "/dev/ttyUSB0"})
            << service + "kdr31-mqtt@ttyUSB0";
        QTest::newRow("--config=")
            << QByteArray() << args({"kdr31-cli", "poll", "--config=/etc/kdr31/ttyS0.conf"})
            << service + "kdr31-mqtt@ttyS0";
        QTest::newRow("a poll in a user's session")
            << QByteArray("0::/user.slice/user-1000.slice/session-2.scope\n")
            << args({"kdr31-cli", "poll", "--port", "/dev/ttyUSB0"}) << plain;
        QTest::newRow("a configuration of the user's own")
            << QByteArray() << args({"kdr31-cli", "poll", "--config", "/home/u/kdr31.conf"})
            << plain;
        QTest::newRow("not a poll")
            << QByteArray() << args({"kdr31-cli", "info", "--config", "/etc/kdr31/a.conf"})
            << plain;
        QTest::newRow("another program")
            << QByteArray() << args({"python3", "poll", "--config", "/etc/kdr31/a.conf"}) << plain;
        QTest::newRow("an instance systemd cannot have made")
            << QByteArray("0::/system.slice/kdr31-mqtt@a;rm -rf ~.service\n")
            << args({"kdr31-cli", "poll", "--config", "/etc/kdr31/a b.conf"}) << plain;
    }
    void serviceHolderIsNamed() {
        QFETCH(QByteArray, cgroup);
        QFETCH(QByteArray, commandLine);
        QFETCH(QString, line);
        const QString holder = QStringLiteral("kdr31-cli (pid 42)");
        QCOMPARE(HolderPid(holder), qint64(42));
        QCOMPARE(PortHeldText(1, holder, ServiceUnitOf(cgroup, commandLine)), line);
    }

    void settingsRememberedByTheDevice() {
        SimulatedDevice sim(1);
        QVERIFY(sim.Start());
        WindowUnderTest t;
        t.Connect(1);
        t.w.optNLofB[1]->click();
        QTRY_COMPARE_WITH_TIMEOUT(sim.device.ReceivedFrames(Command::Settings).size(), size_t(1),
                                  3000);
        QTRY_VERIFY(!t.w.timTXSettings->isActive());
        t.w.cmdCloseCom->click();
        t.w.optNLofB[0]->setChecked(true);
        t.w.cmdOpenCom->click();
        QVERIFY(t.w.optNLofB[1]->isChecked());
    }
};

QTEST_MAIN(TestConnect)
#include "test_connect.moc"
