// Soak: thousands of transactions through the window against a device whose faults come and go
// (silence, late and stray bytes, wrong end markers, overlong lengths, garbage instead of the
// acknowledgement). Every result is one of the defined ones, memory stays bounded and the window
// stays consistent. Slow (0.3 s a transaction): not in the default run.
//
//   KDR31_SOAK_TRANSACTIONS=10000 ctest -L slow      (default 10000)

#include "device_link/MSComm.h"
#include "device_link/ReplyParser.h"
#include "readings/ReadingsGrid.h"
#include "support/SimulatedPorts.h"
#include "support/WindowFixture.h"

#include <QApplication>
#include <QTest>
#include <QTimer>
#include <random>
#include <string>

using namespace std::chrono_literals;

namespace {

bool DefinedResult(const QByteArray& result) {
    if (result.isEmpty())
        return false;
    const auto code = static_cast<std::uint8_t>(result.at(0));
    if (code == ReplyOk)
        return true;
    return result.size() == 1 && (code == ReplyLengthOverflow || code == ReplyWrongEnd ||
                                  code == ReplyTimedOut || code == ReplyNotOk);
}

} // namespace

class TestSoak : public QObject {
    Q_OBJECT
private slots:
    void manyTransactionsWithFaults() {
        const int count = qEnvironmentVariableIsSet("KDR31_SOAK_TRANSACTIONS")
                              ? qEnvironmentVariableIntValue("KDR31_SOAK_TRANSACTIONS")
                              : 10000;
        SimulatedDevice sim(1);
        QVERIFY(sim.Start());
        WindowUnderTest t;
        frmKDR31& w = t.w;
        t.Connect(1);
        QCOMPARE(w.PortState, std::uint8_t(1));
        w.timScan->stop(); // the soak drives the ticks itself
        sim.device.ClearReceived();

        std::mt19937 random(20261207);
        const std::uint8_t commands[] = {Command::Identify,    Command::Readings,
                                         Command::Settings,    Command::DebugLog,
                                         Command::UploadBlock, Command::UploadFinish};
        const sim::Fault faults[] = {sim::Fault::Silent,         sim::Fault::Late,
                                     sim::Fault::StrayByte,      sim::Fault::WrongEnd,
                                     sim::Fault::LengthOverflow, sim::Fault::Garbage};
        const long baseline = ResidentKiB();
        long peakGrowth = 0;
        int ticks = 0;
        int failures = 0;
        for (int i = 0; i < count; ++i) {
            if (i % 25 == 0) {
                for (std::uint8_t command : commands)
                    sim.device.SetFault(command, sim::Fault::None);
                if (random() % 3 != 0) {
                    sim.device.SetFault(commands[random() % 6], faults[random() % 6]);
                    sim.device.SetLateDelay(std::chrono::milliseconds(random() % 450));
                }
            }
            const std::uint8_t command = commands[random() % 6];
            if (command == Command::Readings) {
                const int rowsBefore = w.grdInterfaces->Rows();
                w.timScan_Timer();
                ++ticks;
                QCOMPARE(w.grdInterfaces->Rows(), rowsBefore + 1);
                const QString power = w.grdInterfaces->TextMatrix(rowsBefore, 3);
                QVERIFY2(power == QLatin1String("???") || power.endsWith(QLatin1String(" W")) ||
                             power.isEmpty(),
                         qPrintable(power));
                failures += power == QLatin1String("???");
            } else {
                const int payloadSize = command == Command::Settings       ? 4
                                        : command == Command::UploadBlock  ? 134
                                        : command == Command::UploadFinish ? 12
                                                                           : 0;
                QByteArray payload(payloadSize, '\0');
                if (command == Command::Settings)
                    payload = QByteArray("\x0a\x01\x05\x01", 4);
                const QByteArray result = w.SendCommand(command, payload);
                QVERIFY2(DefinedResult(result), qPrintable(result.toHex()));
                if (command == Command::Settings)
                    QCOMPARE(result, SingleByte(ReplyTimedOut));
                if (command == Command::UploadBlock || command == Command::UploadFinish)
                    QCOMPARE(result.size(), 1);
            }
            QVERIFY(!w.MSComm1->InTransaction());
            if (i % 500 == 499) {
                peakGrowth = std::max(peakGrowth, ResidentKiB() - baseline);
                QVERIFY2(peakGrowth < 64 * 1024, qPrintable(QString::number(peakGrowth)));
            }
        }
        // Every transaction wrote exactly one request, and the window is still connected.
        QTest::qWait(100);
        QCOMPARE(sim.device.ReceivedFrames().size(), size_t(count));
        QCOMPARE(w.PortState, std::uint8_t(1));
        QVERIFY(w.MSComm1->PortOpen());
        QCOMPARE(w.grdInterfaces->Rows(), ticks + 1);
        qInfo("%d transactions, %d readings ticks (%d failed), memory growth %ld KiB", count, ticks,
              failures, peakGrowth);
    }
};

int main(int argc, char* argv[]) {
    // Far longer than Qt Test's watchdog allows one test function by default.
    qputenv("QTEST_FUNCTION_TIMEOUT", "10800000");
    QApplication app(argc, argv);
    TestSoak test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_soak.moc"
