// The upgrade's pieces without a device or a server: the upgrade list, the texts, the block and
// finishing payloads (checked against the simulated boot loader's own CRC code), the bar values,
// the progress window and the timed wait.

#include "support/SimulatedPorts.h"

#include "app/ModMain.h"
#include "device_link/Clock.h"
#include "firmware/UpgradeSteps.h"
#include "firmware/UpgradeWait.h"
#include "firmware/frmProgress.h"
#include "simulator/Kdr31Simulator.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QtTest>

namespace {

QByteArray Pattern(int size) {
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 256 * 13) & 0xFF);
    return bytes;
}

// The CRC as the boot loader expects it on the line: low byte first.
QByteArray LowFirst(std::uint16_t crc) {
    return QByteArray(1, char(crc & 0xFF)) + QByteArray(1, char(crc >> 8));
}

const std::uint8_t* Data(const QByteArray& bytes) {
    return reinterpret_cast<const std::uint8_t*>(bytes.constData());
}

} // namespace

class TestUpgradeSteps : public QObject {
    Q_OBJECT

private slots:
    void listedVersion_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("present");
        QTest::newRow("empty") << 0 << false;
        QTest::newRow("91 bytes") << 91 << false;
        QTest::newRow("92 bytes") << 92 << true;
        QTest::newRow("300 bytes") << 300 << true;
    }
    void listedVersion() {
        QFETCH(int, size);
        QFETCH(bool, present);
        QByteArray list = Pattern(size);
        const FirmwareVersion version{1, 255, 0, 15};
        for (int i = 0; i < 4 && 40 + i < size; ++i)
            list[40 + i] = char(version[size_t(i)]);
        const std::optional<FirmwareVersion> listed = ListedVersion(list);
        QCOMPARE(listed.has_value(), present);
        if (present)
            QCOMPARE(*listed, version);
    }

    void paddingAndLimits_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("paddedSize");
        QTest::addColumn<QString>("refusal");
        QTest::newRow("empty") << 0 << 0 << UpgradeText::EmptyImage;
        QTest::newRow("1 byte") << 1 << 128 << "";
        QTest::newRow("1000 bytes") << 1000 << 1024 << "";
        QTest::newRow("a whole number of blocks") << 1024 << 1024 << "";
        QTest::newRow("255 blocks") << 32640 << 32640 << "";
        QTest::newRow("one byte more") << 32641 << 32768
                                       << "The downloaded KDR31 firmware is too large: 32641 "
                                          "bytes, where at most 32640 fit. Nothing was sent to "
                                          "the KDR31";
        QTest::newRow("full 32 KB") << 32768 << 32768
                                    << "The downloaded KDR31 firmware is too large: 32768 bytes, "
                                       "where at most 32640 fit. Nothing was sent to the KDR31";
    }
    void paddingAndLimits() {
        QFETCH(int, size);
        QFETCH(int, paddedSize);
        QFETCH(QString, refusal);
        const QByteArray image = Pattern(size);
        const QByteArray padded = PadImage(image);
        QCOMPARE(padded.size(), paddedSize);
        QVERIFY(padded.startsWith(image));
        QCOMPARE(padded.mid(size), QByteArray(paddedSize - size, '\0'));
        QCOMPARE(ImageRefusal(image), refusal);
    }

    void blockPayload_data() {
        QTest::addColumn<int>("blocks");
        QTest::addColumn<int>("k");
        QTest::newRow("first of 8") << 8 << 0;
        QTest::newRow("last of 8") << 8 << 7;
        QTest::newRow("number is the end marker") << 40 << 0x23;
        QTest::newRow("number is the start marker") << 43 << 0x2A;
        QTest::newRow("last of 255") << 255 << 254;
    }
    void blockPayload() {
        QFETCH(int, blocks);
        QFETCH(int, k);
        const QByteArray image = Pattern(blocks * 128);
        const QByteArray payload = BlockPayload(image, k);
        QCOMPARE(payload.size(), 134);
        QCOMPARE(payload.left(4), QByteArray("\x00", 1) + char(k) + QByteArray("\x00\x80", 2));
        QCOMPARE(payload.mid(4, 128), image.mid(k * 128, 128));
        QCOMPARE(payload.mid(132), LowFirst(sim::Crc16X25(Data(payload), 132)));
        QVERIFY(BlockPayload(image, blocks).isEmpty());
    }

    void finishPayload_data() {
        QTest::addColumn<int>("blocks");
        QTest::newRow("1 block") << 1;
        QTest::newRow("8 blocks") << 8;
        QTest::newRow("255 blocks") << 255;
    }
    void finishPayload() {
        QFETCH(int, blocks);
        const QByteArray image = Pattern(blocks * 128);
        const FirmwareVersion version{1, 2, 0, 15};
        const QByteArray payload = FinishPayload(image, version);
        QCOMPARE(payload.size(), 12);
        QCOMPARE(payload.left(8),
                 QByteArray("\x00", 1) + char(blocks) + QByteArray("\x00\x06\x01\x02\x00\x0F", 6));
        QCOMPARE(payload.mid(8, 2),
                 LowFirst(sim::ImageCrc(Data(image), size_t(image.size()), 128)));
        QCOMPARE(payload.mid(10), LowFirst(sim::Crc16X25(Data(payload), 10)));
    }

    void finishPayloadRefusesWhatCannotBeSent() {
        QVERIFY(FinishPayload({}, {1, 2, 3, 4}).isEmpty());
        QVERIFY(FinishPayload(Pattern(256 * 128), {1, 2, 3, 4}).isEmpty());
    }

    // The simulator's boot loader is what the upload tests trust; its chained image CRC must give
    // the known answers itself.
    void bootLoaderImageCrcKnownAnswers() {
        QCOMPARE(sim::ImageCrc(Data("123456789"), 9, 9), std::uint16_t(0x906E));
        QCOMPARE(sim::ImageCrc(Data("12345678"), 8, 4), std::uint16_t(0x4FE7));
    }

    void blockProgress_data() {
        QTest::addColumn<int>("k");
        QTest::addColumn<int>("blocks");
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("bar");
        QTest::newRow("first of 200") << 0 << 200 << "Sending block 1/200" << 0.0;
        QTest::newRow("second of 8") << 1 << 8 << "Sending block 2/8" << 12.5;
        QTest::newRow("last of 8") << 7 << 8 << "Sending block 8/8" << 87.5;
        QTest::newRow("last of 255") << 254 << 255 << "Sending block 255/255" << 25400.0 / 255;
        QTest::newRow("after the finishing command") << 9 << 8 << "Sending block 10/8" << 100.0;
    }
    void blockProgress() {
        QFETCH(int, k);
        QFETCH(int, blocks);
        QFETCH(QString, text);
        QFETCH(double, bar);
        QCOMPARE(SendingBlockText(k, blocks), text);
        QCOMPARE(BlockBar(k, blocks), bar);
    }

    void minOf_data() {
        QTest::addColumn<double>("b");
        QTest::addColumn<double>("result");
        QTest::newRow("250") << 250.0 << 100.0;
        QTest::newRow("37.5") << 37.5 << 37.5;
        QTest::newRow("100") << 100.0 << 100.0;
    }
    void minOf() {
        QFETCH(double, b);
        QFETCH(double, result);
        QCOMPARE(ModMain::MinOf(100, b), result);
    }

    void progressWindow() {
        frmProgress progress;
        QCOMPARE(progress.windowTitle(), QStringLiteral("Progress..."));
        QCOMPARE(progress.lblprogress->text(), QStringLiteral("Bezig met ..."));
        QCOMPARE(progress.cmdCancel->text(), QStringLiteral("Cancel"));
        QCOMPARE(progress.pgb1->minimum(), 0);
        QCOMPARE(progress.pgb1->maximum(), 100);
        QCOMPARE(progress.size(), QSize(377, 104));
        QCOMPARE(progress.cmdCancel->geometry(), QRect(153, 62, 64, 26));

        progress.ShowModeless();
        QVERIFY(progress.isVisible());
        QVERIFY(!progress.isModal());
        const QPoint screenCentre = QGuiApplication::primaryScreen()->availableGeometry().center();
        QVERIFY((progress.frameGeometry().center() - screenCentre).manhattanLength() <= 2);

        progress.SetBar(37.9);
        QCOMPARE(progress.pgb1->value(), 37);
        progress.SetBar(250);
        QCOMPARE(progress.pgb1->value(), 100);
    }

    // Cancel, by the button or by the window system's close button, only raises the flag; the
    // window stays until the upgrade closes it.
    void cancelLeavesTheWindowOpen_data() {
        QTest::addColumn<bool>("byCloseButton");
        QTest::newRow("Cancel button") << false;
        QTest::newRow("window's close button") << true;
    }
    void cancelLeavesTheWindowOpen() {
        QFETCH(bool, byCloseButton);
        frmProgress progress;
        progress.ShowModeless();
        ModMain::CancelRequested = 0;
        if (byCloseButton)
            QVERIFY(!progress.close());
        else
            progress.cmdCancel->click();
        QCOMPARE(ModMain::CancelRequested, std::int16_t(-1));
        QVERIFY(progress.isVisible());
        progress.Unload();
        QVERIFY(!progress.isVisible());
        ModMain::CancelRequested = 0;
    }

    // A wait sleeps until something happens: a busy loop would cost its whole length in CPU.
    void waitSleepsUntilItsDeadline() {
        UpgradeWait wait;
        int ticks = 0;
        QElapsedTimer elapsed;
        elapsed.start();
        const double cpuBefore = ProcessCpuSeconds();
        const UpgradeWait::End end = wait.Until(
            Timer() + 0.5, [] { return false; }, [&ticks] { ++ticks; }, 0.1);
        const double cpu = ProcessCpuSeconds() - cpuBefore;
        QCOMPARE(end, UpgradeWait::End::Deadline);
        QVERIFY2(elapsed.elapsed() >= 500 && elapsed.elapsed() < 1500,
                 qPrintable(QString::number(elapsed.elapsed())));
        QVERIFY2(ticks >= 5 && ticks <= 6, qPrintable(QString::number(ticks)));
        QVERIFY2(cpu < 0.1, qPrintable(QString::number(cpu)));
    }

    void waitEndsEarly_data() {
        QTest::addColumn<bool>("abort");
        QTest::newRow("condition met") << false;
        QTest::newRow("aborted") << true;
    }
    void waitEndsEarly() {
        QFETCH(bool, abort);
        UpgradeWait wait;
        bool met = false;
        QTimer::singleShot(50, &wait, [&] {
            if (abort) {
                wait.Abort();
            } else {
                met = true;
                wait.Wake();
            }
        });
        QElapsedTimer elapsed;
        elapsed.start();
        const UpgradeWait::End end = wait.Until(Timer() + 10, [&met] { return met; });
        QVERIFY2(elapsed.elapsed() < 1000, qPrintable(QString::number(elapsed.elapsed())));
        QCOMPARE(end, abort ? UpgradeWait::End::Aborted : UpgradeWait::End::Condition);
        // An aborted wait stays aborted: later waits end at once.
        elapsed.restart();
        const UpgradeWait::End next = wait.Until(Timer() + 0.3);
        QCOMPARE(next, abort ? UpgradeWait::End::Aborted : UpgradeWait::End::Deadline);
        QCOMPARE(elapsed.elapsed() < 250, abort);
    }
};

QTEST_MAIN(TestUpgradeSteps)
#include "test_upgrade_steps.moc"
