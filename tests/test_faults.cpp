// The day something goes wrong: the device's end of the line disappears while the tool talks
// to it. No crash, no hang, no busy loop, the usual failure path, and a window from which "Close"
// and a new connect work.

#include "device_link/MSComm.h"
#include "device_link/ReplyParser.h"
#include "readings/ReadingsGrid.h"
#include "support/SimulatedPorts.h"
#include "support/WindowFixture.h"

#include <QElapsedTimer>
#include <QTest>
#include <thread>

using namespace std::chrono_literals;

namespace {

// Pulls the cable a little after the next request has gone out.
std::thread PullCableSoon(sim::Kdr31Simulator& device, std::chrono::milliseconds after) {
    return std::thread([&device, after] {
        std::this_thread::sleep_for(after);
        device.HangUp();
    });
}

// CPU time the process uses over the next interval while the event loop runs.
double CpuWhileIdle(int msecs) {
    const double before = ProcessCpuSeconds();
    QTest::qWait(msecs);
    return ProcessCpuSeconds() - before;
}

} // namespace

class TestFaults : public QObject {
    Q_OBJECT
private slots:
    void cablePulledDuringAReadingsPoll() {
        auto sim = std::make_unique<SimulatedDevice>(2);
        QVERIFY(sim->Start());
        WindowUnderTest t;
        frmKDR31& w = t.w;
        t.Connect(2);
        QCOMPARE(w.PortState, std::uint8_t(2));

        sim->device.SetFault(Command::Readings, sim::Fault::Silent);
        std::thread pull = PullCableSoon(sim->device, 100ms);
        QElapsedTimer clock;
        clock.start();
        w.timScan_Timer();
        pull.join();
        QVERIFY(clock.elapsed() < 1000);
        QCOMPARE(w.grdInterfaces->Rows(), 2);
        QCOMPARE(w.grdInterfaces->TextMatrix(1, 3), QStringLiteral("???"));
        QVERIFY(!w.MSComm1->PortOpen());

        // The poll goes on adding "???" rows without touching a port, and nothing spins.
        w.timScan_Timer();
        QCOMPARE(w.grdInterfaces->TextMatrix(2, 3), QStringLiteral("???"));
        const double cpu = CpuWhileIdle(1500);
        QVERIFY2(cpu < 0.2, qPrintable(QString::number(cpu)));
        QVERIFY(t.log->messages.isEmpty());

        // The adapter goes back in (a new device node): Close, then a new connect works.
        sim = std::make_unique<SimulatedDevice>(2);
        QVERIFY(sim->Start());
        w.cmdCloseCom->click();
        t.Connect(2);
        QCOMPARE(w.PortState, std::uint8_t(2));
        QCOMPARE(w.grdInterfaces->Rows(), 1);
        w.timScan_Timer();
        QCOMPARE(w.grdInterfaces->TextMatrix(1, 3).right(2), QStringLiteral(" W"));
    }

    void cablePulledBetweenPolls() {
        auto sim = std::make_unique<SimulatedDevice>(1);
        QVERIFY(sim->Start());
        WindowUnderTest t;
        t.Connect(1);
        sim->device.HangUp();
        QTRY_VERIFY_WITH_TIMEOUT(!t.w.MSComm1->PortOpen(), 2000);
        const double cpu = CpuWhileIdle(1500);
        QVERIFY2(cpu < 0.2, qPrintable(QString::number(cpu)));
        t.w.timScan_Timer();
        QCOMPARE(t.w.grdInterfaces->TextMatrix(1, 3), QStringLiteral("???"));
    }
};

QTEST_MAIN(TestFaults)
#include "test_faults.moc"
