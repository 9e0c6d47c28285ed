// The command transaction through the real serial port class, against the simulated KDR31 on a
// pseudo-terminal.

#include "device_link/Clock.h"
#include "device_link/CommandTransaction.h"
#include "device_link/MSComm.h"
#include "device_link/ReplyParser.h"
#include "support/SimulatedPorts.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <thread>

using namespace std::chrono_literals;

namespace {

bool OpenPort(MSComm& port, int number) {
    return port.SetHandshaking(MSComm::comNone) && port.SetCommPort(number) &&
           port.SetRTSEnable(true) && port.SetSettings(QStringLiteral("115200,N,8,1")) &&
           port.SetInputLen(0) && port.SetInputMode(MSComm::comInputModeText) &&
           port.SetPortOpen(true);
}

} // namespace

class TestTransaction : public QObject {
    Q_OBJECT

    std::unique_ptr<SimulatedDevice> sim;
    std::unique_ptr<MSComm> port;
    QByteArray rxBuffer;
    double rxDeadline = 0;
    QStringList boxes;
    std::function<void()> duringYield;

    QByteArray Send(std::uint8_t command, const QByteArray& payload = {}) {
        const TransactionHooks hooks{[this] {
                                         QCoreApplication::processEvents();
                                         if (duringYield)
                                             duringYield();
                                     },
                                     [this](const QString& text) { boxes << text; }};
        return RunTransaction(*port, command, payload, rxBuffer, rxDeadline, hooks);
    }

private slots:
    void init() {
        sim = std::make_unique<SimulatedDevice>(3);
        QVERIFY(sim->Start());
        port = std::make_unique<MSComm>();
        QVERIFY2(OpenPort(*port, 3), qPrintable(port->LastError()));
        boxes.clear();
        duringYield = nullptr;
    }
    void cleanup() {
        port.reset();
        sim.reset();
    }

    void lastsItsDeadlineWithoutSpinning() {
        QElapsedTimer clock;
        clock.start();
        const double cpuBefore = ProcessCpuSeconds();
        const QByteArray result = Send(Command::Identify);
        const double cpu = ProcessCpuSeconds() - cpuBefore;
        const qint64 elapsed = clock.elapsed();

        QCOMPARE(result.left(5), QByteArray("\x00\x01\x02\x03\x04", 5));
        QVERIFY2(elapsed >= 300, qPrintable(QString::number(elapsed)));
        QVERIFY2(elapsed < 600, qPrintable(QString::number(elapsed)));
        // A busy wait would burn the whole 300 ms.
        QVERIFY2(cpu < 0.1, qPrintable(QString::number(cpu)));
        QCOMPARE(sim->device.ReceivedFrames(Command::Identify).size(), size_t(1));
    }

    void everyByteValuePassesBothWays() {
        QByteArray all;
        for (int v = 0; v < 256; ++v)
            all.append(static_cast<char>(v));
        // Device to tool: a long reply carrying all 256 values.
        sim->device.QueueRawReply(Command::DebugLog,
                                  ToBytes(QByteArray("*E\x01\x00", 4) + all + "#"));
        QCOMPARE(Send(Command::DebugLog), QByteArray(1, 0) + all);

        // Tool to device: two upload blocks whose payloads hold every value.
        Send(Command::UploadBlock, all.left(134));
        Send(Command::UploadBlock, all.right(134));
        const auto frames = sim->device.ReceivedFrames(Command::UploadBlock);
        QCOMPARE(frames.size(), size_t(2));
        QCOMPARE(FromBytes(frames[0].payload), all.left(134));
        QCOMPARE(FromBytes(frames[1].payload), all.right(134));
    }

    void lateReplies() {
        sim->device.SetLateDelay(100ms);
        sim->device.SetFault(Command::Readings, sim::Fault::Late, 1);
        QCOMPARE(Send(Command::Readings).at(0), char(ReplyOk));

        sim->device.SetLateDelay(450ms);
        sim->device.SetFault(Command::Readings, sim::Fault::Late, 1);
        QCOMPARE(Send(Command::Readings), SingleByte(ReplyTimedOut));
    }

    void misbehavingDevice_data() {
        QTest::addColumn<int>("command");
        QTest::addColumn<int>("fault");
        QTest::addColumn<int>("expected");
        QTest::newRow("silent identify") << 86 << int(sim::Fault::Silent) << 252;
        QTest::newRow("stray byte shifts the identify reply")
            << 86 << int(sim::Fault::StrayByte) << 252;
        QTest::newRow("wrong end marker") << 64 << int(sim::Fault::WrongEnd) << 251;
        QTest::newRow("long reply length above 1535")
            << 68 << int(sim::Fault::LengthOverflow) << 250;
        QTest::newRow("upload block refused") << 208 << int(sim::Fault::Garbage) << 255;
        QTest::newRow("upload block silent") << 208 << int(sim::Fault::Silent) << 252;
        QTest::newRow("upload block acknowledged") << 208 << int(sim::Fault::None) << 0;
    }
    void misbehavingDevice() {
        QFETCH(int, command);
        QFETCH(int, fault);
        QFETCH(int, expected);
        sim->device.SetFault(static_cast<std::uint8_t>(command), static_cast<sim::Fault>(fault));
        QByteArray payload(command == 208 ? 134 : command == 210 ? 12 : 0, '\0');
        if (command == 208) {
            // Block 0 of zeros with its CRC: the boot loader takes it.
            payload[3] = char(128);
            const std::uint16_t crc =
                sim::Crc16X25(reinterpret_cast<const std::uint8_t*>(payload.constData()), 132);
            payload[132] = char(crc & 0xFF);
            payload[133] = char(crc >> 8);
        }
        QCOMPARE(Send(static_cast<std::uint8_t>(command), payload),
                 SingleByte(static_cast<std::uint8_t>(expected)));
    }

    void lateAcknowledgementTurnsRefusalIntoSuccess() {
        sim->device.QueueRawReply(Command::UploadFinish, {'a', 'b', 'c'});
        sim->device.Inject({'*', 'U', '#'}, 150ms);
        QCOMPARE(Send(Command::UploadFinish, QByteArray(12, '\0')), SingleByte(ReplyOk));
    }

    void settingsReplies() {
        const QByteArray payload("\x3c\x01\x05\x0a", 4);
        QCOMPARE(Send(Command::Settings, payload), SingleByte(ReplyTimedOut));
        QVERIFY(boxes.isEmpty());
        QCOMPARE(sim->device.Settings().interval, std::uint8_t(60));
        QCOMPARE(sim->device.Settings().divider, std::uint8_t(10));

        sim->device.SetFault(Command::Settings, sim::Fault::Silent, 1);
        QCOMPARE(Send(Command::Settings, payload), SingleByte(ReplyTimedOut));
        QVERIFY(boxes.isEmpty());

        sim->device.SetFault(Command::Settings, sim::Fault::Garbage, 1);
        QCOMPARE(Send(Command::Settings, payload), SingleByte(ReplyTimedOut));
        QCOMPARE(boxes, QStringList{QStringLiteral("Settings error")});
    }

    void closedPortWritesNothing() {
        port->SetPortOpen(false);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(Send(Command::Identify), SingleByte(ReplyTimedOut));
        QVERIFY(clock.elapsed() < 50);
        QTest::qWait(50);
        QVERIFY(sim->device.ReceivedFrames().empty());
    }

    void oneTransactionAtATime() {
        QByteArray nested;
        duringYield = [&] {
            duringYield = nullptr;
            QElapsedTimer clock;
            clock.start();
            nested = Send(Command::Readings);
            QVERIFY(clock.elapsed() < 50);
        };
        QCOMPARE(Send(Command::Identify).at(0), char(ReplyOk));
        QCOMPARE(nested, SingleByte(ReplyTimedOut));
        QTest::qWait(50);
        QCOMPARE(sim->device.ReceivedFrames().size(), size_t(1));
        QVERIFY(!port->InTransaction());
    }

    void portLostDuringTheWait() {
        QSignalSpy lost(port.get(), &MSComm::PortLost);
        sim->device.SetFault(Command::Identify, sim::Fault::Silent);
        std::thread pull([this] {
            std::this_thread::sleep_for(100ms);
            sim->device.HangUp();
        });
        QElapsedTimer clock;
        clock.start();
        const QByteArray result = Send(Command::Identify);
        pull.join();
        QCOMPARE(result, SingleByte(ReplyTimedOut));
        QVERIFY(clock.elapsed() < 300);
        QVERIFY(!port->PortOpen());
        QCOMPARE(lost.count(), 1);

        // Nothing spins afterwards, and the next transaction fails at once.
        const double cpuBefore = ProcessCpuSeconds();
        QTest::qWait(500);
        QCOMPARE(Send(Command::Readings), SingleByte(ReplyTimedOut));
        QVERIFY2(ProcessCpuSeconds() - cpuBefore < 0.1,
                 qPrintable(QString::number(ProcessCpuSeconds() - cpuBefore)));
    }

    void portLostBetweenTransactions() {
        QSignalSpy lost(port.get(), &MSComm::PortLost);
        sim->device.HangUp();
        const double cpuBefore = ProcessCpuSeconds();
        QVERIFY(lost.wait(1000));
        QVERIFY(!port->PortOpen());
        QTest::qWait(500);
        QVERIFY2(ProcessCpuSeconds() - cpuBefore < 0.1,
                 qPrintable(QString::number(ProcessCpuSeconds() - cpuBefore)));
    }

    void openingPorts() {
        // Already open: the number cannot change and the open port stays as it was.
        QVERIFY(!port->SetCommPort(4));
        QVERIFY(!port->SetPortOpen(true));
        QVERIFY(port->PortOpen());
        QCOMPARE(Send(Command::Identify).at(0), char(ReplyOk));

        MSComm missing;
        QVERIFY(missing.SetCommPort(7)); // mapped to a path that does not exist
        QVERIFY(!missing.SetPortOpen(true));
        QVERIFY(!missing.PortOpen());
        QVERIFY(!missing.SetCommPort(0));
        QVERIFY(!missing.SetSettings(QStringLiteral("115200,X,8,1")));

        qputenv("KDR31_COM9", "/dev/ttyUSB-mapped");
        QCOMPARE(MSComm::DevicePath(9), QStringLiteral("/dev/ttyUSB-mapped"));
        // Without the variable a number past the ports present has no device: opening it fails
        // at once, whatever the port was set to before.
        qunsetenv("KDR31_COM9");
        qunsetenv("KDR31_COM32");
        QCOMPARE(MSComm::DevicePath(32), QString());
        QVERIFY(missing.SetCommPort(32));
        QVERIFY(!missing.SetPortOpen(true));
        QCOMPARE(missing.LastError(), QStringLiteral("No serial port"));
    }
};

QTEST_GUILESS_MAIN(TestTransaction)
#include "test_transaction.moc"
