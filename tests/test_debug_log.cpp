// The debug view through the real window and serial port against a simulated KDR31: reading
// the log, the device's status codes and failed exchanges, clearing, leaving the view, and
// saving the log.

#include "debug_log/DebugLog.h"
#include "device_link/MSComm.h"
#include "device_link/ReplyParser.h"
#include "main_window/ClickableImage.h"
#include "support/SimulatedPorts.h"
#include "support/WindowFixture.h"

#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QTimer>

using namespace std::chrono_literals;

namespace {

// Connected to a simulated device on COM1:, with the debug view open.
struct DebugView {
    SimulatedDevice sim{1};
    std::unique_ptr<WindowUnderTest> t;
    QTemporaryDir dir;

    bool Open() {
        if (!sim.Start())
            return false;
        t = std::make_unique<WindowUnderTest>();
        t->Connect(1);
        t->w.cmdDebug->click();
        return t->w.PortState == 1 && t->w.fraDebug->isVisible();
    }
    frmKDR31& w() { return t->w; }
    DialogLog& log() { return *t->log; }

    // One press of "Read" while the device answers with this log text.
    void Read(const QByteArray& text) {
        sim.device.SetDebugLog(ToBytes(text));
        w().cmdReadDebugLog->click();
    }
    size_t Requests() const { return sim.device.ReceivedFrames(Command::DebugLog).size(); }

    // One press of "Open in Notepad" answered with this file (nothing: Cancel).
    void Save(std::optional<QString> file) {
        log().saveAnswer = std::move(file);
        w().cmdSaveDebugLog->click();
    }
};

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// A log of the longest reply, 1535 bytes, holding every byte value.
QByteArray LongestLog() {
    QByteArray bytes;
    for (int i = 0; i < 1535; ++i)
        bytes.append(char(i * 7 % 256));
    return bytes;
}

} // namespace

class TestDebugLog : public QObject {
    Q_OBJECT
private slots:
    void viewStopsThePollAndExitRestartsIt_data() {
        QTest::addColumn<bool>("closedFirst");
        QTest::newRow("poll running") << false;
        QTest::newRow("poll off, port closed") << true;
    }
    void viewStopsThePollAndExitRestartsIt() {
        QFETCH(bool, closedFirst);
        SimulatedDevice sim(1);
        QVERIFY(sim.Start());
        WindowUnderTest t;
        frmKDR31& w = t.w;
        t.Connect(1);
        if (closedFirst)
            w.cmdCloseCom->click(); // "Debug Log" stays
        w.imgRefresh->show();       // overlaps the frame's top right corner
        w.cmdDebug->click();
        QVERIFY(!w.timScan->isActive());
        QVERIFY(w.fraDebug->isVisible());
        const QRect overlap = w.fraDebug->geometry().intersected(w.imgRefresh->geometry());
        QVERIFY(!overlap.isEmpty());
        QCOMPARE(w.childAt(overlap.center()), static_cast<QWidget*>(w.fraDebug));

        w.cmdStopDebugLog->click();
        QVERIFY(!w.fraDebug->isVisible());
        QVERIFY(w.timScan->isActive()); // whatever it was before
        QCOMPARE(w.timScan->interval(), 10000);
        QVERIFY(t.log->messages.isEmpty());
        QVERIFY(sim.device.ReceivedFrames(Command::DebugLog).empty());
    }

    void readsAppendOneAfterTheOther() {
        DebugView v;
        QVERIFY(v.Open());
        v.Read("0001 P1 ok\r\n");
        v.Read("0002 P1 crc");
        QCOMPARE(v.w().debugLog().Bytes(), QByteArray("0001 P1 ok\r\n0002 P1 crc"));
        QCOMPARE(v.w().txtDebugLog->toPlainText(), QStringLiteral("0001 P1 ok\n0002 P1 crc"));
        QCOMPARE(v.Requests(), size_t(2));
        QVERIFY(v.sim.device.ReceivedFrames(Command::DebugLog).back().payload.empty());
        QVERIFY(v.log().messages.isEmpty());

        // Leaving the view keeps the text; "Clear" empties it.
        v.w().cmdStopDebugLog->click();
        v.w().cmdDebug->click();
        QCOMPARE(v.w().txtDebugLog->toPlainText(), QStringLiteral("0001 P1 ok\n0002 P1 crc"));
        v.w().cmldClear->click();
        QCOMPARE(v.w().txtDebugLog->toPlainText(), QString());
        v.Read("0003");
        QCOMPARE(v.w().debugLog().Bytes(), QByteArray("0003"));
        QCOMPARE(v.Requests(), size_t(3));
    }

    void statusCodesAndFailedReads_data() {
        QTest::addColumn<int>("status"); // -1: a log text of two bytes
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("message");
        const int none = int(sim::Fault::None);
        QTest::newRow("status 1") << 1 << none << "P1 busy. Please retry";
        QTest::newRow("status 2") << 2 << none << "Buffer (1200bytes) overflow";
        QTest::newRow("status 3") << 3 << none << "P1 not connected or protocol not set correctly";
        QTest::newRow("one byte 65") << 65 << none << "";
        QTest::newRow("wrong end")
            << -1 << int(sim::Fault::WrongEnd) << "Wrong end character received";
        QTest::newRow("length overflow")
            << -1 << int(sim::Fault::LengthOverflow) << "RX Length Overflow";
        QTest::newRow("silent") << -1 << int(sim::Fault::Silent) << "RX timed out";
        QTest::newRow("tail later than 0.5 s")
            << -1 << int(sim::Fault::SplitLate) << "RX timed out";
    }
    void statusCodesAndFailedReads() {
        QFETCH(int, status);
        QFETCH(int, fault);
        QFETCH(QString, message);
        DebugView v;
        QVERIFY(v.Open());
        v.Read("earlier\r\n");
        if (status >= 0)
            v.sim.device.SetDebugStatus(std::uint8_t(status));
        else
            v.sim.device.SetDebugLog(ToBytes("OK"));
        v.sim.device.SetFault(Command::DebugLog, sim::Fault(fault), 1);
        v.sim.device.SetLateDelay(700ms);
        v.w().cmdReadDebugLog->click();
        QCOMPARE(v.log().messages, message.isEmpty() ? QStringList() : QStringList{message});
        QCOMPARE(v.w().debugLog().Bytes(), QByteArray("earlier\r\n"));
        QCOMPARE(v.w().txtDebugLog->toPlainText(), QStringLiteral("earlier\n"));

        // The user may press "Read" again (a tail that came after the deadline still waits in
        // the port, and would be read as the start of the next reply).
        if (fault == int(sim::Fault::SplitLate))
            return;
        v.Read("again");
        QCOMPARE(v.w().debugLog().Bytes(), QByteArray("earlier\r\nagain"));
    }

    void longestLog_data() {
        QTest::addColumn<QByteArray>("log");
        QTest::addColumn<int>("fault");
        QTest::addColumn<int>("tailDelayMs");
        QTest::addColumn<bool>("appended");
        QTest::newRow("1535 bytes") << LongestLog() << int(sim::Fault::None) << 0 << true;
        QTest::newRow("1535 bytes, second half 200 ms later")
            << LongestLog() << int(sim::Fault::SplitLate) << 200 << true;
        QTest::newRow("1536 bytes") << LongestLog() + "x" << int(sim::Fault::None) << 0 << false;
    }
    void longestLog() {
        QFETCH(QByteArray, log);
        QFETCH(int, fault);
        QFETCH(int, tailDelayMs);
        QFETCH(bool, appended);
        DebugView v;
        QVERIFY(v.Open());
        v.sim.device.SetFault(Command::DebugLog, sim::Fault(fault));
        v.sim.device.SetLateDelay(std::chrono::milliseconds(tailDelayMs));
        v.Read(log);
        QCOMPARE(v.w().debugLog().Bytes(), appended ? log : QByteArray());
        QCOMPARE(v.log().messages,
                 appended ? QStringList() : QStringList{QStringLiteral("RX Length Overflow")});
        // Raw text: the plain text would turn the no-break space (byte 0xA0) into a blank.
        QCOMPARE(v.w().txtDebugLog->document()->toRawText(),
                 DebugLogDisplayText(v.w().debugLog().Bytes())
                     .replace(QLatin1Char('\n'), QChar::ParagraphSeparator));
    }

    void everyByteFromTheDeviceReachesTheFile() {
        DebugView v;
        QVERIFY(v.Open());
        const QByteArray log = LongestLog();
        v.Read(log.left(700));
        v.Read(log.mid(700));
        const QString path = v.dir.filePath(QStringLiteral("log.txt"));
        v.Save(path);
        QCOMPARE(ReadAll(path), log + "\r\n");
    }

    void saveOffersTheDefaultNameAndOpensTheEditor() {
        DebugView v;
        QVERIFY(v.Open());
        v.Read("first log\r\n");
        const QString caption = v.w().windowTitle();
        const QString path = v.dir.filePath(QStringLiteral("log.txt"));
        const QDateTime before = QDateTime::currentDateTime();
        v.Save(path);
        const QDateTime after = QDateTime::currentDateTime();

        QCOMPARE(v.log().saveRequests.size(), size_t(1));
        const SaveDialogRequest& request = v.log().saveRequests.front();
        QCOMPARE(request.title, QStringLiteral("*.txt"));
        QCOMPARE(request.filter, QStringLiteral("text files (*.txt)|*.txt"));
        QCOMPARE(request.defaultExtension, QStringLiteral("txt"));
        QVERIFY(request.overwritePrompt);
        QVERIFY2(request.initialName == DebugLogDefaultName(caption, before, QLocale::system()) ||
                     request.initialName == DebugLogDefaultName(caption, after, QLocale::system()),
                 qPrintable(request.initialName));
        QCOMPARE(ReadAll(path), QByteArray("first log\r\n\r\n"));
        QCOMPARE(v.log().editorStarts, QStringList{path});

        // Saving again under the same name replaces the file. An editor that does not start is
        // not reported: the log is saved all the same.
        v.w().cmldClear->click();
        v.Read("second");
        v.log().editorStarts_ok = false;
        v.Save(path);
        QCOMPARE(ReadAll(path), QByteArray("second\r\n"));
        QCOMPARE(v.log().editorStarts, (QStringList{path, path}));
        QVERIFY(v.log().messages.isEmpty());
        QVERIFY(!v.w().timScan->isActive());
    }

    void cancelWritesNothingAndStartsNothing_data() {
        QTest::addColumn<std::optional<QString>>("answer");
        QTest::newRow("cancel") << std::optional<QString>();
        QTest::newRow("empty name") << std::optional<QString>(QString());
    }
    void cancelWritesNothingAndStartsNothing() {
        QFETCH(std::optional<QString>, answer);
        DebugView v;
        QVERIFY(v.Open());
        v.Read("log");
        v.Save(answer);
        QCOMPARE(v.log().saveRequests.size(), size_t(1));
        QVERIFY(QDir(v.dir.path()).isEmpty());
        QVERIFY(v.log().editorStarts.isEmpty());
        QVERIFY(v.log().messages.isEmpty());
    }

    void fileThatCannotBeWrittenIsReported() {
        DebugView v;
        QVERIFY(v.Open());
        v.Read("log\r\n");
        // Even root cannot create a file below a regular file.
        const QString regular = v.dir.filePath(QStringLiteral("regular"));
        QVERIFY(QFile(regular).open(QIODevice::WriteOnly));
        const QString path = regular + QStringLiteral("/log.txt");
        v.Save(path);
        QCOMPARE(v.log().messages.size(), 1);
        const QString prefix = QStringLiteral("The debug log could not be saved to ") +
                               QDir::toNativeSeparators(path) + QStringLiteral(": ");
        QVERIFY2(v.log().messages.front().startsWith(prefix) &&
                     v.log().messages.front().size() > prefix.size(),
                 qPrintable(v.log().messages.front()));
        QVERIFY(v.log().editorStarts.isEmpty());
        QCOMPARE(v.w().txtDebugLog->toPlainText(), QStringLiteral("log\n"));
    }

    void readOnAClosedPort() {
        DebugView v;
        QVERIFY(v.Open());
        v.Read("kept");
        v.w().cmdCloseCom->click();
        v.w().cmdReadDebugLog->click();
        QCOMPARE(v.log().messages, QStringList{QStringLiteral("RX timed out")});
        QCOMPARE(v.Requests(), size_t(1)); // the first read's
        QCOMPARE(v.w().debugLog().Bytes(), QByteArray("kept"));
    }

    void pressWhileAnExchangeWaits_data() {
        QTest::addColumn<bool>("duringARead");
        QTest::newRow("second press of Read") << true;
        QTest::newRow("press during a readings poll") << false;
    }
    void pressWhileAnExchangeWaits() {
        QFETCH(bool, duringARead);
        DebugView v;
        QVERIFY(v.Open());
        v.sim.device.SetDebugLog(ToBytes("once"));
        // The press arrives during the exchange's one yield to the event loop.
        QTimer::singleShot(0, &v.w(), [&v] { v.w().cmdReadDebugLog->click(); });
        if (duringARead)
            v.w().cmdReadDebugLog->click();
        else
            v.w().imgRefresh_Click();
        QCOMPARE(v.Requests(), size_t(duringARead ? 1 : 0));
        QCOMPARE(v.w().debugLog().Bytes(), duringARead ? QByteArray("once") : QByteArray());
        QVERIFY(v.log().messages.isEmpty());
    }

    void theSimulatedDevicesOwnLog() {
        DebugView v;
        QVERIFY(v.Open());
        v.sim.device.UseOwnDebugLog();
        v.w().cmdReadDebugLog->click();
        v.w().cmdReadDebugLog->click();
        const QByteArray log = v.w().debugLog().Bytes();
        QVERIFY(v.log().messages.isEmpty());
        QVERIFY2(log.endsWith("\r\n") && log.count("\r\n") >= 2, log.constData());
        v.w().cmdStopDebugLog->click();
        QVERIFY(v.w().timScan->isActive());
    }
};

QTEST_MAIN(TestDebugLog)
#include "test_debug_log.moc"
