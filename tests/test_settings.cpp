// The settings frame through the real window: changes go to the device together, one second
// after the last one, and the poll restarts with the new interval.

#include "device_link/MSComm.h"
#include "device_link/ReplyParser.h"
#include "main_window/UpDown.h"
#include "support/SimulatedPorts.h"
#include "support/WindowFixture.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>

using namespace std::chrono_literals;

namespace {

QByteArray Payload(const sim::Received& frame) {
    return FromBytes(frame.payload);
}

} // namespace

class TestSettings : public QObject {
    Q_OBJECT

    std::unique_ptr<SimulatedDevice> sim;
    std::unique_ptr<WindowUnderTest> t;

    std::vector<sim::Received> SettingsFrames() const {
        return sim->device.ReceivedFrames(Command::Settings);
    }
    // Waits for the armed send to go out and finish.
    bool WaitForSend(size_t frames) {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 3000) {
            if (SettingsFrames().size() >= frames && !t->w.timTXSettings->isActive() &&
                !t->w.MSComm1->InTransaction())
                return true;
            QTest::qWait(20);
        }
        return false;
    }

private slots:
    void init() {
        sim = std::make_unique<SimulatedDevice>(1);
        QVERIFY(sim->Start());
        sim->device.SetSettings({60, 1, 5, 10});
        t = std::make_unique<WindowUnderTest>();
        t->Connect(1);
        QCOMPARE(t->w.PortState, std::uint8_t(1));
    }
    void cleanup() {
        t.reset();
        sim.reset();
    }

    void changesWithinASecondGoOutTogether() {
        frmKDR31& w = t->w;
        w.optNLofB[1]->click();
        QTest::qWait(400);
        w.optProtocol[4]->click();
        QVERIFY(w.timTXSettings->isActive());
        QVERIFY(SettingsFrames().empty());
        QVERIFY(WaitForSend(1));
        QTest::qWait(1200);
        const auto frames = SettingsFrames();
        QCOMPARE(frames.size(), size_t(1));
        QCOMPARE(Payload(frames[0]), QByteArray("\x3c\x02\x04\x0a", 4));
        // The poll stopped for the send and runs again with the interval of the settings.
        QVERIFY(w.timScan->isActive());
        QCOMPARE(w.timScan->interval(), 60000);
        QVERIFY(t->log->messages.isEmpty());
    }

    void allFourAsTheyStand() {
        frmKDR31& w = t->w;
        w.timTXSettings_Timer(); // the delay runs out with the values loaded at connect
        QCOMPARE(SettingsFrames().size(), size_t(1));
        QCOMPARE(Payload(SettingsFrames()[0]), QByteArray("\x3c\x01\x05\x0a", 4));
        QVERIFY(!w.timTXSettings->isActive());
    }

    void intervalStep() {
        frmKDR31& w = t->w;
        w.updInterval->findChild<QToolButton*>("down")->click();
        QCOMPARE(w.txtInterval->text(), QStringLiteral("55 sec."));
        QVERIFY(WaitForSend(1));
        QCOMPARE(Payload(SettingsFrames()[0]).at(0), char(55));
        QCOMPARE(w.timScan->interval(), 55000);
        QVERIFY(w.timScan->isActive());
        // The spinner stops at the ends of its range.
        w.updInterval->findChild<QToolButton*>("up")->click();
        w.updInterval->findChild<QToolButton*>("up")->click();
        QCOMPARE(w.updInterval->Value(), 60);
    }

    void typedDivider_data() {
        // Keys typed over the selected box, which shows the device's 10; "\b" is Backspace.
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QString>("box");
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("shown");
        QTest::newRow("7") << "7"
                           << "7" << 7 << "7";
        QTest::newRow("emptied, then 7") << "\b7"
                                         << "7" << 7 << "7";
        QTest::newRow("7.5 rounds to 8") << "7.5"
                                         << "7.5" << 8 << "8";
        QTest::newRow("2.5 rounds to 2") << "2.5"
                                         << "2.5" << 2 << "2";
        QTest::newRow("3.4 reads 3") << "3.4"
                                     << "3.4" << 3 << "3";
        QTest::newRow("0 is below the range") << "0"
                                              << "0" << 1 << "1";
        QTest::newRow("11 is above the range") << "11"
                                               << "11" << 10 << "10";
        QTest::newRow("letters") << "abc"
                                 << "abc" << 1 << "1";
        QTest::newRow("emptied: nothing to send") << "\b"
                                                  << "" << 10 << "10";
    }
    void typedDivider() {
        QFETCH(QString, keys);
        QFETCH(QString, box);
        QFETCH(int, value);
        QFETCH(QString, shown);
        frmKDR31& w = t->w;
        QCOMPARE(w.txtDivider->text(), QStringLiteral("10"));
        QTest::keyClick(w.txtDivider, Qt::Key_A, Qt::ControlModifier);
        for (QChar key : keys) {
            if (key == QLatin1Char('\b'))
                QTest::keyClick(w.txtDivider, Qt::Key_Backspace);
            else
                QTest::keyClicks(w.txtDivider, QString(key));
        }
        QCOMPARE(w.txtDivider->text(), box); // as typed, however odd
        QCOMPARE(w.updDivider->Value(), value);
        if (box.isEmpty()) {
            // Enter (or leaving the box) shows the value that stands.
            QTest::keyClick(w.txtDivider, Qt::Key_Return);
            QCOMPARE(w.txtDivider->text(), shown);
            QVERIFY(!w.timTXSettings->isActive());
            return;
        }
        // Left as typed, in the box: the send shows what went to the device.
        QVERIFY(WaitForSend(1));
        QCOMPARE(w.txtDivider->text(), shown);
        QCOMPARE(SettingsFrames().size(), size_t(1));
        QCOMPARE(Payload(SettingsFrames().back()).at(3), char(value));
        QTest::keyClick(w.txtDivider, Qt::Key_Return);
        QCOMPARE(w.txtDivider->text(), shown);
        QVERIFY(!w.timTXSettings->isActive());
    }

    void refusedSettingsAreReported() {
        frmKDR31& w = t->w;
        sim->device.SetFault(Command::Settings, sim::Fault::Garbage, 1);
        w.optProtocol[2]->click();
        QVERIFY(WaitForSend(1));
        QCOMPARE(t->log->messages, QStringList{QStringLiteral("Settings error")});
        QVERIFY(w.optProtocol[2]->isChecked()); // the controls keep the new values
        QVERIFY(w.timScan->isActive());
    }

    void sendAfterCloseIsDropped() {
        frmKDR31& w = t->w;
        w.optNLofB[1]->click();
        w.cmdCloseCom->click();
        QVERIFY(w.timTXSettings->isActive()); // "Close" leaves it armed...
        QTRY_VERIFY_WITH_TIMEOUT(!w.timTXSettings->isActive(), 3000);
        QTest::qWait(100);
        QVERIFY(SettingsFrames().empty()); // ...but nothing goes to the closed port
        QVERIFY(!w.timScan->isActive());
    }

    void sendDuringATransactionIsDeferred() {
        frmKDR31& w = t->w;
        w.optNLofB[1]->click();
        w.timTXSettings->stop();
        // The delay runs out while another transaction waits for its reply.
        QTimer::singleShot(0, &w, [&] {
            w.timTXSettings->start();
            w.timTXSettings_Timer();
        });
        QCOMPARE(w.SendCommand(Command::Identify, {}).at(0), char(ReplyOk));
        QVERIFY(SettingsFrames().empty());
        QVERIFY(w.timTXSettings->isActive());
        QVERIFY(WaitForSend(1)); // it goes out at the next tick
        QCOMPARE(Payload(SettingsFrames()[0]).at(1), char(2));
    }
};

QTEST_MAIN(TestSettings)
#include "test_settings.moc"
