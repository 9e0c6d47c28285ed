// The day something goes wrong: the device's end of the line disappears while the tool talks
// to it. No crash, no hang, no busy loop, the usual failure path, and a window from which "Close"
// and a new connect work.

#include "device_link/MSComm.h"
#include "device_link/ReplyParser.h"
#include "main_window/ConnectionTexts.h"
#include "readings/ReadingsGrid.h"
#include "support/SimulatedPorts.h"
#include "support/UpgradeRig.h"
#include "support/WindowFixture.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTemporaryDir>
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
    QTemporaryDir cache_;

private slots:
    void initTestCase() { QVERIFY(PrepareUpgradeTests(cache_)); }
    void cleanupTestCase() { curl_global_cleanup(); }

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
        // The reading cut off is no row; the window looks for the device instead of polling.
        QCOMPARE(w.grdInterfaces->Rows(), 1);
        QVERIFY(!w.MSComm1->PortOpen());
        QCOMPARE(w.lblConnection->text(), DeviceLostText(2));

        // Ticks add nothing, attempts to find the device cost next to nothing, nothing spins.
        w.timScan_Timer();
        QCOMPARE(w.grdInterfaces->Rows(), 1);
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
        QCOMPARE(t.w.lblConnection->text(), DeviceLostText(1));
        const double cpu = CpuWhileIdle(1500);
        QVERIFY2(cpu < 0.2, qPrintable(QString::number(cpu)));
        t.w.timScan_Timer();
        QCOMPARE(t.w.grdInterfaces->Rows(), 1);
    }

    void cablePulledDuringADebugLogRead() {
        auto sim = std::make_unique<SimulatedDevice>(3);
        QVERIFY(sim->Start());
        WindowUnderTest t;
        frmKDR31& w = t.w;
        t.Connect(3);
        w.cmdDebug->click();
        w.cmdReadDebugLog->click();
        const QByteArray logBefore = w.debugLog().Bytes();
        QVERIFY(!logBefore.isEmpty());

        sim->device.SetFault(Command::DebugLog, sim::Fault::Silent);
        std::thread pull = PullCableSoon(sim->device, 100ms);
        w.cmdReadDebugLog->click();
        pull.join();
        QCOMPARE(t.log->messages, QStringList{QStringLiteral("RX timed out")});
        QCOMPARE(w.debugLog().Bytes(), logBefore);
        QVERIFY(!w.MSComm1->PortOpen());
        const double cpu = CpuWhileIdle(1000);
        QVERIFY2(cpu < 0.2, qPrintable(QString::number(cpu)));

        // "Exit", "Close" and a new connect work.
        w.cmdStopDebugLog->click();
        sim = std::make_unique<SimulatedDevice>(3);
        QVERIFY(sim->Start());
        w.cmdCloseCom->click();
        t.Connect(3);
        QCOMPARE(w.PortState, std::uint8_t(3));
    }

    void cablePulledInTheMiddleOfAnUpload() {
        UpgradeRig rig;
        const QByteArray image = TestImage(10 * 128);
        QVERIFY(rig.Start(UpgradeList(ListVersion), HexFileOf(image)));
        ProgressRecorder recorder(rig.w);
        bool pulled = false;
        recorder.onSample = [&](const QString& label) {
            if (!pulled && label == QLatin1String("Sending block 4/10")) {
                pulled = true;
                rig.sim.device.HangUp();
            }
        };
        QElapsedTimer clock;
        clock.start();
        rig.w.cmdUpgrade->click();
        QVERIFY(pulled);
        QCOMPARE(rig.t.log->messages, QStringList{UpgradeText::UploadFailed});
        QVERIFY(clock.elapsed() < 20000);
        QCOMPARE(rig.Frames(Command::UploadFinish), size_t(0));
        QVERIFY(!rig.sim.device.BootLoader().flashed);
        QVERIFY(!rig.w.MSComm1->PortOpen());
        QVERIFY(ControlsReleased(rig.w));
        QVERIFY(NoProgressWindow(rig.w));
        const double cpu = CpuWhileIdle(1000);
        QVERIFY2(cpu < 0.2, qPrintable(QString::number(cpu)));

        // The adapter goes back in: "Close" and a new connect work.
        SimulatedDevice again(1);
        QVERIFY(again.Start());
        rig.w.cmdCloseCom->click();
        rig.t.Connect(1);
        QCOMPARE(rig.w.PortState, std::uint8_t(1));
    }

    void hexFileCutInTheMiddleOfALine() {
        // The server delivers the whole file, but the file itself ends inside a data record.
        UpgradeRig rig;
        const QByteArray hex = HexFileOf(TestImage(20 * 128));
        QVERIFY(rig.Start(UpgradeList(ListVersion), hex.left(hex.size() / 2 + 7)));
        rig.w.cmdUpgrade->click();
        QVERIFY(rig.t.log->messages.size() >= 2);
        QVERIFY(rig.t.log->messages.first().startsWith(
            QStringLiteral("Checksum error op data record op adres &H")));
        QCOMPARE(rig.t.log->messages.last(), UpgradeText::ChecksumErrors);
        QCOMPARE(rig.Frames(Command::UploadBlock), size_t(0));
        QCOMPARE(rig.Frames(Command::UploadFinish), size_t(0));
        QVERIFY(ControlsReleased(rig.w));
        QVERIFY(rig.w.timScan->isActive());
    }

    void noFolderToDownloadInto() {
        // Even root cannot create a folder below a regular file.
        QTemporaryDir dir;
        QFile blocker(dir.filePath(QStringLiteral("not-a-folder")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        const QByteArray saved = qgetenv("XDG_CACHE_HOME");
        qputenv("XDG_CACHE_HOME", QFile::encodeName(blocker.fileName() + "/cache"));
        UpgradeRig rig;
        QVERIFY(rig.Start(UpgradeList(ListVersion), HexFileOf(TestImage(256))));
        rig.w.cmdUpgrade->click();
        qputenv("XDG_CACHE_HOME", saved);
        QCOMPARE(rig.t.log->messages, QStringList{UpgradeText::NoDownloadFolder});
        QCOMPARE(rig.Frames(Command::UploadBlock), size_t(0));
        QVERIFY(ControlsReleased(rig.w));
    }
};

QTEST_MAIN(TestFaults)
#include "test_faults.moc"
