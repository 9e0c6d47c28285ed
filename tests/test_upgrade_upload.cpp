// The upload to the boot loader when the device or the user interferes: refused blocks and
// finishing commands, a device that hangs, Cancel, and a slow firmware server.

#include "support/UpgradeRig.h"
#include "support/WindowInput.h"

#include "device_link/MSComm.h"
#include "device_link/ReplyParser.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QList<int> Range(int count) {
    QList<int> numbers;
    for (int k = 0; k < count; ++k)
        numbers << k;
    return numbers;
}

const QString OldTitle =
    QStringLiteral("Zevizudove V1.9 s/n:KD310042 Listening to COM1 KDR31 FW V1.2.3.4");
const QString NewTitle =
    QStringLiteral("Zevizudove V1.9 s/n:KD310042 Listening to COM1 KDR31 FW V1.2.4.0");

// After a failed upload the device keeps its firmware, the port stays open and the poll stays
// stopped until the next connect.
void VerifyFailedUpload(UpgradeRig& rig) {
    QVERIFY(!rig.sim.device.BootLoader().flashed);
    QVERIFY(rig.w.MSComm1->PortOpen());
    QCOMPARE(rig.w.PortState, std::uint8_t(1));
    QCOMPARE(rig.w.windowTitle(), OldTitle);
    QVERIFY(!rig.w.timScan->isActive());
    QVERIFY(ControlsReleased(rig.w));
    QVERIFY(NoProgressWindow(rig.w));
    QCOMPARE(rig.sim.device.ReceivedFrames(Command::Identify).size(), size_t(1));
}

void VerifyUpgraded(UpgradeRig& rig, const QByteArray& image) {
    const sim::BootLoaderState boot = rig.sim.device.BootLoader();
    QVERIFY(boot.flashed);
    QCOMPARE(FromBytes(boot.flashedImage), PadImage(image));
    QCOMPARE(rig.w.windowTitle(), NewTitle);
    QVERIFY(rig.w.timScan->isActive());
    QVERIFY(ControlsReleased(rig.w));
    QVERIFY(NoProgressWindow(rig.w));
}

} // namespace

class TestUpgradeUpload : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(PrepareUpgradeTests(cache_)); }
    void cleanupTestCase() { curl_global_cleanup(); }

    void deviceInterferes_data();
    void deviceInterferes();
    void cancelDuringBlock3_data();
    void cancelDuringBlock3();
    void slowServerIsWaitedFor();

private:
    QTemporaryDir cache_;
};

enum class Interference {
    RefuseBlockAlways,
    RefuseBlockTwice,
    HangAfter4,
    RefuseFinish,
    RefuseFinishTwice
};

void TestUpgradeUpload::deviceInterferes_data() {
    QTest::addColumn<int>("interference");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QList<int>>("blocks"); // block numbers in the order they were sent
    QTest::addColumn<int>("finishing");     // finishing commands sent
    QTest::newRow("block 0 never acknowledged")
        << int(Interference::RefuseBlockAlways) << UpgradeText::UploadFailed << QList<int>{0, 0, 0}
        << 0;
    QTest::newRow("block 5 refused twice, then taken")
        << int(Interference::RefuseBlockTwice) << "" << QList<int>{0, 1, 2, 3, 4, 5, 5, 5, 6, 7}
        << 1;
    QTest::newRow("device hangs after 4 blocks")
        << int(Interference::HangAfter4) << UpgradeText::UploadFailed
        << QList<int>{0, 1, 2, 3, 4, 4, 4} << 0;
    QTest::newRow("finishing command never acknowledged")
        << int(Interference::RefuseFinish) << UpgradeText::UpgradingFailed << Range(8) << 3;
    QTest::newRow("finishing command refused twice, then taken")
        << int(Interference::RefuseFinishTwice) << "" << Range(8) << 3;
}

void TestUpgradeUpload::deviceInterferes() {
    QFETCH(int, interference);
    QFETCH(QString, message);
    QFETCH(QList<int>, blocks);
    QFETCH(int, finishing);
    const QByteArray image = TestImage(1000, 3);
    UpgradeRig rig;
    QString error;
    QVERIFY2(rig.Start(UpgradeList(ListVersion), HexFileOf(image), &error), qPrintable(error));
    sim::Kdr31Simulator& device = rig.sim.device;
    switch (Interference(interference)) {
    case Interference::RefuseBlockAlways:
        device.RefuseBlock(0);
        break;
    case Interference::RefuseBlockTwice:
        device.RefuseBlock(5, 2);
        break;
    case Interference::HangAfter4:
        device.GoSilentAfterBlocks(4);
        break;
    case Interference::RefuseFinish:
        device.RefuseFinish();
        break;
    case Interference::RefuseFinishTwice:
        device.RefuseFinish(2);
        break;
    }
    // A failed upload's message comes over the still open progress window.
    bool progressShownWithMessage = false;
    rig.t.log->onMessage = [&](const QString&) {
        progressShownWithMessage = rig.w.Progress() != nullptr && rig.w.Progress()->isVisible();
    };
    rig.w.cmdUpgrade->click();

    QCOMPARE(rig.t.log->messages, message.isEmpty() ? QStringList() : QStringList{message});
    QCOMPARE(progressShownWithMessage, !message.isEmpty());
    QCOMPARE(BlockNumbers(rig), blocks);
    QCOMPARE(rig.Frames(Command::UploadFinish), size_t(finishing));
    // A repeated command is the same command again.
    const auto frames = device.ReceivedFrames(Command::UploadBlock);
    for (size_t i = 1; i < frames.size(); ++i)
        if (frames[i].payload.at(1) == frames[i - 1].payload.at(1))
            QVERIFY(frames[i].payload == frames[i - 1].payload);
    if (message.isEmpty())
        VerifyUpgraded(rig, image);
    else
        VerifyFailedUpload(rig);
}

// Cancel lets the block on display finish, sends no further block, and still sends the finishing
// command with the full count. The boot loader sees the missing blocks and refuses it, so the
// device keeps its firmware.
void TestUpgradeUpload::cancelDuringBlock3_data() {
    QTest::addColumn<int>("how");
    QTest::newRow("Cancel button") << 0;
    QTest::newRow("window's close button") << 1;
    // A real click is queued while the block waits for its answer, and heard before the next.
    QTest::newRow("Cancel clicked with the mouse") << 2;
}

void TestUpgradeUpload::cancelDuringBlock3() {
    QFETCH(int, how);
    UpgradeRig rig;
    QString error;
    QVERIFY2(rig.Start(UpgradeList(ListVersion), HexFileOf(TestImage(1200)), &error),
             qPrintable(error));
    ProgressRecorder recorder(rig.w);
    bool cancelled = false;
    int samplesAfterCancel = 0;
    recorder.onSample = [&](const QString& label) {
        if (cancelled) {
            ++samplesAfterCancel;
        } else if (label == QLatin1String("Sending block 3/10")) {
            cancelled = true;
            if (how == 1)
                rig.w.Progress()->close();
            else if (how == 2)
                QueueClick(rig.w.Progress()->cmdCancel);
            else
                rig.w.Progress()->cmdCancel->click();
        }
    };
    rig.w.cmdUpgrade->click();

    QVERIFY(cancelled);
    QVERIFY(samplesAfterCancel > 0); // the window stayed open after the Cancel
    QCOMPARE(recorder.labels.last(), QStringLiteral("Sending block 3/10"));
    QCOMPARE(BlockNumbers(rig), (QList<int>{0, 1, 2}));
    const auto finish = rig.sim.device.ReceivedFrames(Command::UploadFinish);
    QCOMPARE(finish.size(), size_t(3));
    for (const sim::Received& frame : finish)
        QCOMPARE(int(frame.payload.at(1)), 10);
    QCOMPARE(rig.sim.device.BootLoader().missingBlocks, 7);
    QCOMPARE(rig.t.log->messages, QStringList{UpgradeText::UpgradingFailed});
    VerifyFailedUpload(rig);
}

// A server far slower than a local one: the list takes about 2 s and the image about 5 s. Both
// are awaited to the end, and the bar never steps back, not even when the download ends.
void TestUpgradeUpload::slowServerIsWaitedFor() {
    FtpServer::Options options;
    options.throttleBytesPerSecond = 600;
    UpgradeRig rig(options);
    const QByteArray image = TestImage(1000, 5);
    QString error;
    QVERIFY2(rig.Start(UpgradeList(ListVersion, 1200), HexFileOf(image), &error),
             qPrintable(error));
    ProgressRecorder recorder(rig.w);
    rig.w.cmdUpgrade->click();

    QCOMPARE(rig.t.log->messages, QStringList());
    const double checking = recorder.FirstSeen(UpgradeText::Checking);
    const double downloading = recorder.FirstSeen(UpgradeText::Downloading);
    const double sending = recorder.FirstSeen(QStringLiteral("Sending block 1/8"));
    QVERIFY(checking >= 0 && downloading > checking && sending > downloading);
    QVERIFY2(downloading - checking > 1.5, qPrintable(QString::number(downloading - checking)));
    QVERIFY2(sending - downloading > 2.5, qPrintable(QString::number(sending - downloading)));
    // The bar kept moving through the download, and never claimed the end before it.
    QList<int> downloadBars;
    for (const ProgressRecorder::Sample& change : recorder.barChanges)
        if (change.label == UpgradeText::Downloading)
            downloadBars << change.bar;
    QVERIFY2(downloadBars.size() >= 10, qPrintable(QString::number(downloadBars.size())));
    QVERIFY2(std::is_sorted(downloadBars.begin(), downloadBars.end()),
             qPrintable(QString::number(downloadBars.last())));
    QVERIFY(downloadBars.last() > 90); // it had crept past 90
    QVERIFY(downloadBars.last() < 100);
    QCOMPARE(BlockNumbers(rig), Range(8));
    VerifyUpgraded(rig, image);
}

QTEST_MAIN(TestUpgradeUpload)
#include "test_upgrade_upload.moc"
