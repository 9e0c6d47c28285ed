// The largest image the boot loader takes: 32,640 bytes, 255 blocks. At 0.3 s a block this runs
// for about 90 s, so it is a program of its own that runs beside the other tests.

#include "support/UpgradeRig.h"

#include "device_link/ReplyParser.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestUpgradeFullImage : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(PrepareUpgradeTests(cache_)); }
    void cleanupTestCase() { curl_global_cleanup(); }

    void uploads255Blocks() {
        const QByteArray image = TestImage(MaxUploadImageBytes, 7);
        UpgradeRig rig;
        QString error;
        QVERIFY2(rig.Start(UpgradeList(ListVersion), HexFileOf(image), &error), qPrintable(error));
        ProgressRecorder recorder(rig.w);
        rig.w.cmdUpgrade->click();

        QCOMPARE(rig.t.log->messages, QStringList());
        const sim::BootLoaderState boot = rig.sim.device.BootLoader();
        QVERIFY(boot.flashed);
        // No filler: 32,640 is a whole number of blocks.
        QCOMPARE(FromBytes(boot.flashedImage), image);
        QCOMPARE(boot.blockCrcErrors + boot.finishCrcErrors + boot.imageCrcErrors, 0);

        const auto blocks = rig.sim.device.ReceivedFrames(Command::UploadBlock);
        QCOMPARE(blocks.size(), size_t(255));
        for (size_t k = 0; k < blocks.size(); ++k)
            QCOMPARE(int(blocks[k].payload.at(1)), int(k));
        const auto finish = rig.sim.device.ReceivedFrames(Command::UploadFinish);
        QCOMPARE(finish.size(), size_t(1));
        QCOMPARE(int(finish[0].payload.at(1)), 255);

        QCOMPARE(recorder.labels.at(recorder.labels.size() - 2),
                 QStringLiteral("Sending block 255/255"));
        QCOMPARE(rig.w.windowTitle(), QStringLiteral("Zevizudove V1.9 s/n:KD310042 Listening to "
                                                     "COM1 KDR31 FW V1.2.4.0"));
        QVERIFY(rig.w.timScan->isActive());
    }

private:
    QTemporaryDir cache_;
};

QTEST_MAIN(TestUpgradeFullImage)
#include "test_upgrade_full_image.moc"
