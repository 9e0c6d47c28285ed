// The readings poll through the real window: one row per tick, decoded fields, units, the tariff
// rule with the country buttons, failures, and the scrolling of the grid.

#include "device_link/MSComm.h"
#include "device_link/ReplyParser.h"
#include "readings/ReadingsGrid.h"
#include "support/SimulatedPorts.h"
#include "support/WindowFixture.h"

#include <QDateTime>
#include <QLocale>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <cstring>

namespace {

// Thirteen fields in reply order: import power, high, low, diff; export power, high, low, diff;
// gas, gas diff; tariff; extern 1, 2.
std::array<float, 13> Readings(float tariff) {
    float import200;
    const std::uint32_t bits = 0x43480000; // 200.0 as the device sends it
    std::memcpy(&import200, &bits, 4);
    return {import200, 12345678.0f, 1234.5678f, 0.5f,   0.0f,  402300.0f, 187600.0f,
            0.0f,      3456.789f,   0.001f,     tariff, 17.0f, 4.0f};
}

} // namespace

class TestReadingsPoll : public QObject {
    Q_OBJECT

    std::unique_ptr<SimulatedDevice> sim;
    std::unique_ptr<WindowUnderTest> t;

private slots:
    void init() {
        sim = std::make_unique<SimulatedDevice>(1);
        QVERIFY(sim->Start());
        sim->device.SetReadings(Readings(2.0f));
        t = std::make_unique<WindowUnderTest>();
        t->Connect(1);
        QCOMPARE(t->w.PortState, std::uint8_t(1));
    }
    void cleanup() {
        t.reset();
        sim.reset();
    }

    void oneRowPerTick() {
        frmKDR31& w = t->w;
        const QDate before = QDate::currentDate();
        w.timScan_Timer();
        QCOMPARE(w.grdInterfaces->Rows(), 2);
        QCOMPARE(w.grdInterfaces->Row(), 1);
        const ReadingsGrid& g = *w.grdInterfaces;
        const QStringList expected = {"",
                                      "",
                                      "",
                                      "200 W",
                                      "1.234568E+07 Wh",
                                      "1234.568 Wh",
                                      "0.5 Wh",
                                      "",
                                      "0 W",
                                      "402300 Wh",
                                      "187600 Wh",
                                      "0 Wh",
                                      "",
                                      "High",
                                      "",
                                      "3456.789 m\u00b3",
                                      "0.001 m\u00b3",
                                      "",
                                      "17",
                                      "4"};
        for (int column = 2; column < 20; ++column)
            QCOMPARE(g.TextMatrix(1, column), expected[column]);
        // The PC's date and time in the user's formats.
        const QLocale locale = QLocale::system();
        const QString date = g.TextMatrix(1, 0);
        QVERIFY(date == locale.toString(before, QLocale::ShortFormat) ||
                date == locale.toString(QDate::currentDate(), QLocale::ShortFormat));
        const QTime time = QTime::fromString(g.TextMatrix(1, 1), "HH:mm:ss");
        QVERIFY2(time.isValid(), qPrintable(g.TextMatrix(1, 1)));
        QVERIFY(qAbs(time.secsTo(QTime::currentTime())) <= 2);
        QCOMPARE(g.Table().CellAlignment(1, 13), Qt::Alignment(Qt::AlignCenter));

        w.timScan_Timer();
        QCOMPARE(w.grdInterfaces->Rows(), 3);
        QCOMPARE(sim->device.ReceivedFrames(Command::Readings).size(), size_t(2));
    }

    void tariffRule_data() {
        QTest::addColumn<float>("tariff");
        QTest::addColumn<int>("country"); // -1 none
        QTest::addColumn<QString>("text");
        QTest::newRow("1, Nederland") << 1.0f << 0 << "Low";
        QTest::newRow("1, België") << 1.0f << 1 << "High";
        QTest::newRow("2, Nederland") << 2.0f << 0 << "High";
        QTest::newRow("2, België") << 2.0f << 1 << "Low";
        QTest::newRow("1, no country") << 1.0f << -1 << "High";
        QTest::newRow("0, België") << 0.0f << 1 << "Low";
    }
    void tariffRule() {
        QFETCH(float, tariff);
        QFETCH(int, country);
        QFETCH(QString, text);
        frmKDR31& w = t->w;
        sim->device.SetReadings(Readings(tariff));
        if (country < 0) {
            for (QRadioButton* option : w.optNLofB) {
                option->setAutoExclusive(false);
                option->setChecked(false);
                option->setAutoExclusive(true);
            }
        } else {
            w.optNLofB[size_t(country)]->setChecked(true);
        }
        w.timTXSettings->stop();
        w.timScan_Timer();
        QCOMPARE(w.grdInterfaces->TextMatrix(w.grdInterfaces->Rows() - 1, 13), text);
    }

    void silentDeviceGivesQuestionMarks() {
        frmKDR31& w = t->w;
        sim->device.SetFault(Command::Readings, sim::Fault::Silent);
        w.timScan_Timer();
        sim->device.SetFault(Command::Readings, sim::Fault::WrongEnd);
        w.timScan_Timer();
        for (int row : {1, 2}) {
            QVERIFY(!w.grdInterfaces->TextMatrix(row, 0).isEmpty());
            QVERIFY(!w.grdInterfaces->TextMatrix(row, 1).isEmpty());
            for (int column = 2; column < 20; ++column)
                QCOMPARE(w.grdInterfaces->TextMatrix(row, column),
                         column == 3 ? QStringLiteral("???") : QString());
        }
    }

    void shortReplyFillsOnlyTheFieldsItCovers() {
        frmKDR31& w = t->w;
        sim->device.SetReadingsDataLength(30); // seven fields and two bytes of the eighth
        w.timScan_Timer();
        const ReadingsGrid& g = *w.grdInterfaces;
        QCOMPARE(g.TextMatrix(1, 3), QStringLiteral("200 W"));
        QCOMPARE(g.TextMatrix(1, 10), QStringLiteral("187600 Wh")); // field 7
        for (int column : {11, 13, 15, 16, 18, 19})
            QCOMPARE(g.TextMatrix(1, column), QString());

        sim->device.SetReadingsDataLength(1);
        w.timScan_Timer();
        for (int column = 2; column < 20; ++column)
            QCOMPARE(g.TextMatrix(2, column), QString());
    }

    void notANumberIsReadable() {
        frmKDR31& w = t->w;
        auto values = Readings(1.0f);
        values[0] = std::numeric_limits<float>::quiet_NaN();
        values[1] = std::numeric_limits<float>::infinity();
        sim->device.SetReadings(values);
        w.timScan_Timer();
        QCOMPARE(w.grdInterfaces->TextMatrix(1, 3), QStringLiteral("NaN W"));
        QCOMPARE(w.grdInterfaces->TextMatrix(1, 4), QStringLiteral("Inf Wh"));
    }

    void noTickWithoutAnIdentifiedDevice() {
        frmKDR31& w = t->w;
        w.cmdCloseCom->click();
        w.timScan_Timer();
        w.PortState = PortStateNoDevice;
        w.timScan_Timer();
        QCOMPARE(w.grdInterfaces->Rows(), 1);
        QTest::qWait(50);
        QVERIFY(sim->device.ReceivedFrames(Command::Readings).empty());
    }

    void tickDuringATransactionIsSkipped() {
        frmKDR31& w = t->w;
        // The tick arrives while the identify transaction waits for its reply.
        QTimer::singleShot(0, &w, [&] { w.timScan_Timer(); });
        QCOMPARE(w.SendCommand(Command::Identify, {}).at(0), char(ReplyOk));
        QCOMPARE(w.grdInterfaces->Rows(), 1);
        QTest::qWait(50);
        QVERIFY(sim->device.ReceivedFrames(Command::Readings).empty());
    }

    void newestRowStaysInView() {
        frmKDR31& w = t->w;
        // With the port gone every refresh fails at once: rows without waiting for replies.
        w.ClosePort();
        ReadingsGrid& g = *w.grdInterfaces;
        for (int row = 1; row <= 18; ++row) {
            w.timScan_Timer();
            QCOMPARE(g.TopRow(), 1);
        }
        for (int row = 19; row <= 30; ++row) {
            w.timScan_Timer();
            QCOMPARE(g.Rows() - 1, row);
            QCOMPARE(g.TopRow(), row - 18);
        }
        QCOMPARE(g.TextMatrix(30, 3), QStringLiteral("???"));
        // Reconnecting clears the rows and keeps the layout.
        w.cmdCloseCom->click();
        w.cmdOpenCom->click();
        QCOMPARE(g.Rows(), 1);
        QCOMPARE(g.TopRow(), 1);
        QCOMPARE(g.TextMatrix(0, 3), QStringLiteral("Power"));
        QCOMPARE(g.ColWidth(2), 3);
    }
};

QTEST_MAIN(TestReadingsPoll)
#include "test_readings_poll.moc"
