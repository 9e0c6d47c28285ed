// "Upgrade" through the real window: the version check against a real FTP server on 127.0.0.1,
// the download, the checks on the image, and a full upgrade against the simulated boot loader.

#include "support/HangingLookup.h"
#include "support/ProcessUsage.h"
#include "support/UpgradeRig.h"

#include "device_link/MSComm.h"
#include "device_link/ReplyParser.h"
#include "firmware/Inet.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

Q_DECLARE_METATYPE(FirmwareVersion)

namespace {

QString TempPath() {
    return TempDownloadPath().value_or(QString());
}

QByteArray ReadTempFile() {
    QFile file(TempPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The upgrade ended without touching the device and with the poll running again.
void VerifyNothingSent(UpgradeRig& rig) {
    QCOMPARE(rig.Frames(Command::UploadBlock), size_t(0));
    QCOMPARE(rig.Frames(Command::UploadFinish), size_t(0));
    QVERIFY(rig.w.timScan->isActive());
    QVERIFY(ControlsReleased(rig.w));
    QVERIFY(NoProgressWindow(rig.w));
    QCOMPARE(rig.w.UpgradeState(), UpgradePhase::Idle);
}

} // namespace

class TestUpgrade : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(PrepareUpgradeTests(cache_)); }
    void cleanupTestCase() { curl_global_cleanup(); }

    void fullUpgrade();
    void versionCheck_data();
    void versionCheck();
    void failedDownloadSendsNothing_data();
    void failedDownloadSendsNothing();
    void oversizedDownloadIsCutOff_data();
    void oversizedDownloadIsCutOff();
    void faultyImageSendsNothing_data();
    void faultyImageSendsNothing();
    void refusedWithoutDevice_data();
    void refusedWithoutDevice();
    void closingTheWindowDuringTheUpgrade_data();
    void closingTheWindowDuringTheUpgrade();
    void cancelEndsTheTransfer_data();
    void cancelEndsTheTransfer();

private:
    QTemporaryDir cache_;
};

// 1,000 bytes: 8 blocks, the last filled up with 24 zero bytes.
void TestUpgrade::fullUpgrade() {
    const QByteArray image = TestImage(1000);
    // Paced so that each download lasts a few tenths of a second and its label is seen even on a
    // loaded machine.
    FtpServer::Options options;
    options.throttleBytesPerSecond = 10000;
    UpgradeRig rig(options);
    QString error;
    QVERIFY2(rig.Start(UpgradeList(ListVersion, 2000), HexFileOf(image), &error),
             qPrintable(error));
    ProgressRecorder recorder(rig.w);
    rig.w.cmdUpgrade->click();

    QCOMPARE(rig.t.log->messages, QStringList());
    QCOMPARE(rig.t.log->questions,
             QStringList{"Are you sure to download latest firmware V1.2.4.0 and upload to KDR31"});

    // What the boot loader received, checked by its own CRC code.
    const sim::BootLoaderState boot = rig.sim.device.BootLoader();
    QVERIFY(boot.flashed);
    QCOMPARE(FromBytes(boot.flashedImage), image + QByteArray(24, '\0'));
    QCOMPARE(boot.blockCrcErrors, 0);
    QCOMPARE(boot.finishCrcErrors, 0);
    QCOMPARE(boot.imageCrcErrors, 0);
    QCOMPARE(boot.flashedVersion, ListVersion);
    QCOMPARE(BlockNumbers(rig), (QList<int>{0, 1, 2, 3, 4, 5, 6, 7}));
    const auto finish = rig.sim.device.ReceivedFrames(Command::UploadFinish);
    QCOMPARE(finish.size(), size_t(1));
    QCOMPARE(int(finish[0].payload.at(1)), 8);

    // What the user saw.
    QCOMPARE(recorder.caption, UpgradeText::Caption);
    QStringList expected{UpgradeText::Checking, UpgradeText::Downloading};
    for (int k = 1; k <= 8; ++k)
        expected << QStringLiteral("Sending block %1/8").arg(k);
    expected << UpgradeText::Rebooting;
    QCOMPARE(recorder.labels, expected);
    int lastRebootBar = 0;
    for (const ProgressRecorder::Sample& sample : recorder.samples) {
        if (sample.label.startsWith(QLatin1String("Sending block "))) {
            const int k = sample.label.mid(14).section(QLatin1Char('/'), 0, 0).toInt() - 1;
            QCOMPARE(sample.bar, k * 100 / 8);
        } else if (sample.label == UpgradeText::Rebooting) {
            QVERIFY(sample.bar >= lastRebootBar);
            lastRebootBar = sample.bar;
        }
    }
    QVERIFY2(lastRebootBar >= 95, qPrintable(QString::number(lastRebootBar)));
    QVERIFY(recorder.controlsLocked);
    QVERIFY(!recorder.pollRan);

    // The device was given its reboot time, then identified again with its new version.
    const auto identify = rig.sim.device.ReceivedFrames(Command::Identify);
    QCOMPARE(identify.size(), size_t(2));
    const double rebootPause = std::chrono::duration<double>(identify[1].at - finish[0].at).count();
    QVERIFY2(rebootPause >= 7.2 && rebootPause < 9, qPrintable(QString::number(rebootPause)));
    QCOMPARE(rig.w.windowTitle(), QStringLiteral("Zevizudove V1.9 s/n:KD310042 Listening to "
                                                 "COM1 KDR31 FW V1.2.4.0"));
    QCOMPARE(ModMain::DeviceFwVersion, ListVersion);
    QCOMPARE(rig.w.PortState, std::uint8_t(1));
    QVERIFY(rig.w.timScan->isActive());
    QVERIFY(ControlsReleased(rig.w));
    QVERIFY(NoProgressWindow(rig.w));
    QCOMPARE(rig.w.UpgradeState(), UpgradePhase::Idle);
}

void TestUpgrade::versionCheck_data() {
    QTest::addColumn<int>("listSize"); // -1: no list on the server
    QTest::addColumn<FirmwareVersion>("listVersion");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("question");
    QTest::newRow("device has the listed version")
        << 92 << DeviceVersion << UpgradeText::AlreadyLatest << "";
    QTest::newRow("device newer than the list: offered all the same")
        << 92 << FirmwareVersion{1, 2, 0, 15} << ""
        << "Are you sure to download latest firmware V1.2.0.15 and upload to KDR31";
    QTest::newRow("list of 91 bytes") << 91 << ListVersion << UpgradeText::NotDownloaded << "";
    QTest::newRow("list of 92 bytes, answered No")
        << 92 << ListVersion << ""
        << "Are you sure to download latest firmware V1.2.4.0 and upload to KDR31";
    QTest::newRow("no list on the server") << -1 << ListVersion << UpgradeText::NotDownloaded << "";
}

void TestUpgrade::versionCheck() {
    QFETCH(int, listSize);
    QFETCH(FirmwareVersion, listVersion);
    QFETCH(QString, message);
    QFETCH(QString, question);
    const QByteArray hexFile = HexFileOf(TestImage(300));
    const QByteArray list = listSize < 0 ? QByteArray() : UpgradeList(listVersion, listSize);
    UpgradeRig rig;
    QString error;
    QVERIFY2(rig.Start(list, hexFile, &error), qPrintable(error));
    // A leftover of an earlier run must not pass for the list.
    QFile stale(TempPath());
    QVERIFY(stale.open(QIODevice::WriteOnly) && stale.write(UpgradeList(ListVersion, 200)) > 0);
    stale.close();
    rig.t.log->answers = {false};
    // The check's messages come after its progress window has closed.
    bool progressShownWithMessage = false;
    rig.t.log->onMessage = [&](const QString&) {
        progressShownWithMessage = rig.w.Progress() != nullptr;
    };
    ProgressRecorder recorder(rig.w);
    rig.w.cmdUpgrade->click();

    QCOMPARE(rig.t.log->messages, message.isEmpty() ? QStringList() : QStringList{message});
    QCOMPARE(rig.t.log->questions, question.isEmpty() ? QStringList() : QStringList{question});
    QVERIFY(!recorder.labels.contains(UpgradeText::Downloading));
    QVERIFY(!progressShownWithMessage);
    QVERIFY(ReadTempFile() != hexFile); // the image was never fetched
    VerifyNothingSent(rig);
    QCOMPARE(rig.w.windowTitle(), QStringLiteral("Zevizudove V1.9 s/n:KD310042 Listening to "
                                                 "COM1 KDR31 FW V1.2.3.4"));
}

void TestUpgrade::failedDownloadSendsNothing_data() {
    QTest::addColumn<bool>("imageOnServer");
    QTest::addColumn<qint64>("dropAfterBytes");
    QTest::newRow("no image on the server") << false << qint64(-1);
    QTest::newRow("server dies in the middle of a line") << true << qint64(1500);
    // 20 whole records of 45 bytes: what arrived converts without a fault, but is incomplete.
    QTest::newRow("server dies at the end of a line") << true << qint64(900);
}

void TestUpgrade::failedDownloadSendsNothing() {
    QFETCH(bool, imageOnServer);
    QFETCH(qint64, dropAfterBytes);
    FtpServer::Options options;
    options.dropAfterBytes = dropAfterBytes;
    UpgradeRig rig(options);
    const QByteArray hexFile = HexFileOf(TestImage(1000)); // about 2,900 bytes
    QString error;
    QVERIFY2(rig.Start(UpgradeList(ListVersion), imageOnServer ? hexFile : QByteArray(), &error),
             qPrintable(error));
    rig.w.cmdUpgrade->click();

    QCOMPARE(rig.t.log->questions.size(), 1);
    QCOMPARE(rig.t.log->messages, QStringList{UpgradeText::NotDownloaded});
    VerifyNothingSent(rig);
}

void TestUpgrade::faultyImageSendsNothing_data() {
    QTest::addColumn<QByteArray>("hexFile");
    QTest::addColumn<QStringList>("messages"); // %1: the path of the downloaded file

    QByteArray badChecksum = HexFileOf(TestImage(64));
    const int second = badChecksum.indexOf('\n') + 1;
    const int secondEnd = badChecksum.indexOf('\r', second);
    badChecksum[secondEnd - 1] = badChecksum[secondEnd - 1] == '0' ? '1' : '0';
    QTest::newRow("checksum error") << badChecksum
                                    << QStringList{"Checksum error op data record op adres &H0010",
                                                   UpgradeText::ChecksumErrors};

    QByteArray notHex = HexFileOf(TestImage(64));
    notHex[second + 12] = 'G';
    QTest::newRow("a character that is not a hex digit")
        << notHex
        << QStringList{UnreadableImageText("The firmware file %1 cannot be used: line 2 holds a "
                                           "character that is not a hexadecimal digit.")};
    QTest::newRow("no data records")
        << QByteArray(":00000001FF\r\n") << QStringList{UpgradeText::EmptyImage};
    QTest::newRow("only records the boot loader keeps to itself")
        << HexFileOf(TestImage(256), 0x8000) << QStringList{UpgradeText::EmptyImage};
    QTest::newRow("one byte more than 255 blocks")
        << HexFileOf(TestImage(32641)) << QStringList{ImageTooLargeText(32641)};

    // Files that were cut before they reached the server: the transfer itself is whole.
    const QByteArray whole = HexFileOf(TestImage(64));
    const QByteArray withoutEnd = whole.left(whole.indexOf(":00000001FF"));
    QTest::newRow("cut at the end of a line")
        << withoutEnd << QStringList{UpgradeText::IncompleteImage};
    // 10 + 00 + 40 + 00 + B0 is 0x100: the cut line's checksum comes out right.
    QTest::newRow("cut mid-line, checksum right by chance")
        << withoutEnd + ":10004000B000" << QStringList{UpgradeText::IncompleteImage};
}

void TestUpgrade::faultyImageSendsNothing() {
    QFETCH(QByteArray, hexFile);
    QFETCH(QStringList, messages);
    UpgradeRig rig;
    QString error;
    QVERIFY2(rig.Start(UpgradeList(ListVersion), hexFile, &error), qPrintable(error));
    rig.w.cmdUpgrade->click();

    for (QString& message : messages)
        message.replace(QLatin1String("%1"), QDir::toNativeSeparators(TempPath()));
    QCOMPARE(rig.t.log->messages, messages);
    QVERIFY(!rig.sim.device.BootLoader().flashed);
    VerifyNothingSent(rig);
}

// A server that sends far more than a list or an image can be: cut off at the bound, whether
// or not it announced the size, and nothing of it is held in memory.
void TestUpgrade::oversizedDownloadIsCutOff_data() {
    QTest::addColumn<QString>("remoteName");
    QTest::addColumn<bool>("announced");
    QTest::newRow("10 MB list, size not announced") << "TAMO_UPGlist.bin" << false;
    QTest::newRow("10 MB image, size announced") << "KDR31v2.hex" << true;
}

void TestUpgrade::oversizedDownloadIsCutOff() {
    QFETCH(QString, remoteName);
    QFETCH(bool, announced);
    constexpr qint64 TenMegabytes = 10 * 1000 * 1000;
    const bool list = remoteName.startsWith(QLatin1String("TAMO"));
    UpgradeRig rig;
    if (!announced)
        QVERIFY(rig.server.AddGeneratedFile(remoteName, TenMegabytes));
    QString error;
    QVERIFY2(rig.Start(list ? QByteArray() : UpgradeList(ListVersion),
                       list || !announced ? QByteArray() : QByteArray(TenMegabytes, 'Z'), &error),
             qPrintable(error));
    QVERIFY(ResetPeakResident());
    const long before = ResidentKiB();
    rig.w.cmdUpgrade->click();
    const long growthKiB = PeakResidentKiB() - before;

    QCOMPARE(rig.t.log->questions.size(), list ? 0 : 1);
    QCOMPARE(rig.t.log->messages, QStringList{UpgradeText::NotDownloaded});
    QVERIFY(rig.w.Inet1->BytesReceived() <= (list ? UpgradeListMaxBytes : HexFileMaxBytes));
    QVERIFY(!QFile::exists(TempPath()));
    QVERIFY2(growthKiB < 5 * 1024, qPrintable(QString::number(growthKiB)));
    VerifyNothingSent(rig);
}

void TestUpgrade::refusedWithoutDevice_data() {
    QTest::addColumn<QString>("before");
    QTest::newRow("port never opened") << "nothing";
    QTest::newRow("after Close") << "close";
    QTest::newRow("no device answered") << "silent";
}

void TestUpgrade::refusedWithoutDevice() {
    QFETCH(QString, before);
    FtpServer server;
    QVERIFY2(server.IsRunning(), qPrintable(server.Error()));
    QVERIFY(server.AddFile(QStringLiteral("TAMO_UPGlist.bin"), UpgradeList(ListVersion)));
    QVERIFY(server.AddFile(QStringLiteral("KDR31v2.hex"), HexFileOf(TestImage(300))));
    server.UseAsFirmwareServer();
    SimulatedDevice sim(1);
    QVERIFY(sim.Start());
    WindowUnderTest t;
    if (before == QLatin1String("close")) {
        t.Connect(1);
        t.w.cmdCloseCom->click();
        QVERIFY(t.w.cmdUpgrade->isVisible()); // Close leaves the button
    } else if (before == QLatin1String("silent")) {
        sim.device.SetFault(Command::Identify, sim::Fault::Silent);
        t.Connect(1);
        QCOMPARE(t.w.PortState, std::uint8_t(PortStateNoDevice));
    }
    QFile::remove(TempPath());
    t.w.cmdUpgrade->click();

    QCOMPARE(t.log->messages, QStringList{UpgradeText::NoDevice});
    QVERIFY(t.log->questions.isEmpty());
    QVERIFY(!QFile::exists(TempPath())); // nothing was downloaded
    QVERIFY(sim.device.ReceivedFrames(Command::UploadBlock).empty());
    QVERIFY(sim.device.ReceivedFrames(Command::UploadFinish).empty());
    QVERIFY(NoProgressWindow(t.w));
}

// Closing the main window ends the upgrade where it is: no crash, no further command, no message.
void TestUpgrade::closingTheWindowDuringTheUpgrade_data() {
    QTest::addColumn<QString>("label");
    QTest::addColumn<qint64>("throttle");
    QTest::addColumn<QByteArray>("host");
    QTest::newRow("during the check") << UpgradeText::Checking << qint64(1000) << QByteArray();
    QTest::newRow("during a name lookup that hangs")
        << UpgradeText::Checking << qint64(0) << QByteArray(kHangingHost);
    QTest::newRow("during block 3")
        << QStringLiteral("Sending block 3/8") << qint64(0) << QByteArray();
    QTest::newRow("while the device reboots")
        << UpgradeText::Rebooting << qint64(0) << QByteArray();
}

void TestUpgrade::closingTheWindowDuringTheUpgrade() {
    QFETCH(QString, label);
    QFETCH(qint64, throttle);
    QFETCH(QByteArray, host);
    FtpServer::Options options;
    options.throttleBytesPerSecond = throttle;
    UpgradeRig rig(options);
    QString error;
    // With the throttle the list takes about 2 s.
    QVERIFY2(rig.Start(UpgradeList(ListVersion, 2000), HexFileOf(TestImage(1000)), &error),
             qPrintable(error));
    if (!host.isEmpty())
        rig.server.UseAsFirmwareServer(host);
    ProgressRecorder recorder(rig.w);
    double closedAt = 0;
    // A lookup that hangs is given time to begin: the transfer is then well inside it.
    const double after = host.isEmpty() ? 0 : 0.5;
    recorder.onSample = [&](const QString& shown) {
        if (closedAt == 0 && shown == label && Timer() - recorder.FirstSeen(label) >= after) {
            closedAt = Timer();
            rig.w.close();
        }
    };
    rig.w.cmdUpgrade->click();
    const double returnedAfter = Timer() - closedAt;

    QVERIFY(closedAt > 0);
    QVERIFY2(returnedAfter < 1.0, qPrintable(QString::number(returnedAfter)));
    QVERIFY(!rig.w.isVisible());
    QVERIFY(!rig.w.MSComm1->PortOpen());
    QVERIFY(NoProgressWindow(rig.w));
    QVERIFY(rig.t.log->messages.isEmpty());
    QVERIFY(!rig.w.timScan->isActive());
    QCOMPARE(rig.w.UpgradeState(), UpgradePhase::Idle);
    QCOMPARE(rig.sim.device.ReceivedFrames(Command::Identify).size(), size_t(1));
    if (label == UpgradeText::Checking) {
        QVERIFY(rig.t.log->questions.isEmpty());
        QCOMPARE(rig.Frames(Command::UploadBlock), size_t(0));
    } else if (label != UpgradeText::Rebooting) {
        QCOMPARE(BlockNumbers(rig), (QList<int>{0, 1, 2}));
        QCOMPARE(rig.Frames(Command::UploadFinish), size_t(0));
    }
}

// Cancel during a transfer ends it, and the upgrade with it, at once and without a message;
// the window stays as before the upgrade.
void TestUpgrade::cancelEndsTheTransfer_data() {
    QTest::addColumn<QString>("label");
    QTest::addColumn<QByteArray>("host");
    QTest::newRow("during a name lookup that hangs")
        << UpgradeText::Checking << QByteArray(kHangingHost);
    QTest::newRow("during the download") << UpgradeText::Downloading << QByteArray();
}

void TestUpgrade::cancelEndsTheTransfer() {
    QFETCH(QString, label);
    QFETCH(QByteArray, host);
    FtpServer::Options options;
    options.throttleBytesPerSecond = 1000; // the image takes about 3 s
    UpgradeRig rig(options);
    QString error;
    QVERIFY2(rig.Start(UpgradeList(ListVersion), HexFileOf(TestImage(1000)), &error),
             qPrintable(error));
    if (!host.isEmpty())
        rig.server.UseAsFirmwareServer(host);
    ProgressRecorder recorder(rig.w);
    double cancelledAt = 0;
    // Pressed when the transfer is well under way: inside the lookup, or into the data.
    recorder.onSample = [&](const QString& shown) {
        if (cancelledAt == 0 && shown == label && Timer() - recorder.FirstSeen(label) >= 0.5) {
            cancelledAt = Timer();
            rig.w.Progress()->cmdCancel->click();
        }
    };
    rig.w.cmdUpgrade->click();
    const double returnedAfter = Timer() - cancelledAt;

    QVERIFY(cancelledAt > 0);
    QVERIFY2(returnedAfter < 1.0, qPrintable(QString::number(returnedAfter)));
    QCOMPARE(rig.t.log->questions.size(), label == UpgradeText::Downloading ? 1 : 0);
    QCOMPARE(rig.t.log->messages, QStringList());
    QVERIFY(rig.w.isVisible());
    VerifyNothingSent(rig);
}

QTEST_MAIN(TestUpgrade)
#include "test_upgrade.moc"
