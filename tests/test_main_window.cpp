// The main window as it comes up, and as it goes down.

#include "app/ModMain.h"
#include "device_link/MSComm.h"
#include "device_link/ReplyParser.h"
#include "main_window/CapacityLine.h"
#include "main_window/ClickableImage.h"
#include "main_window/ConnectionTexts.h"
#include "main_window/UpDown.h"
#include "main_window/WrapButton.h"
#include "readings/ReadingsDecode.h"
#include "readings/ReadingsGrid.h"
#include "support/SimulatedPorts.h"
#include "support/WindowFixture.h"

#include <QAccessible>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyleOptionButton>
#include <QTest>
#include <QTimer>

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void startState() {
        WindowUnderTest t;
        frmKDR31& w = t.w;
        QCOMPARE(w.windowTitle(), QStringLiteral("KDR31 Visualisation"));
        // The window system shows the title unchanged: Qt would append a display name.
        ModMain::SetUpApplication();
        QCOMPARE(QGuiApplication::applicationDisplayName(), QCoreApplication::applicationName());
        QCOMPARE(w.PortState, std::uint8_t(PortStateClosed));
        QVERIFY(!w.MSComm1->PortOpen());
        QVERIFY(!w.windowIcon().isNull());

        QCOMPARE(w.cmbComPort->count(), 32);
        QCOMPARE(w.cmbComPort->itemText(0), QStringLiteral("COM1:"));
        QCOMPARE(w.cmbComPort->itemText(31), QStringLiteral("COM32:"));
        QCOMPARE(w.cmbComPort->currentIndex(), -1);

        for (QTimer* timer : {w.timScan, w.timTXSettings}) {
            QVERIFY(!timer->isActive());
            QCOMPARE(timer->interval(), 1000);
        }
        for (QWidget* hidden : std::initializer_list<QWidget*>{
                 w.fraSettings, w.fraDebug, w.imgRefresh, w.cmdCloseCom, w.cmdUpgrade, w.cmdDebug})
            QVERIFY2(!hidden->isVisible(), qPrintable(hidden->objectName()));
        for (QWidget* shown :
             std::initializer_list<QWidget*>{w.cmdOpenCom, w.cmdScanCom, w.cmbComPort,
                                             w.grdInterfaces, w.Label1, w.Label2, w.Label3})
            QVERIFY2(shown->isVisible(), qPrintable(shown->objectName()));
        for (QRadioButton* option :
             {w.optNLofB[0], w.optNLofB[1], w.optProtocol[2], w.optProtocol[4], w.optProtocol[5]})
            QVERIFY(!option->isChecked());
        QCOMPARE(w.txtInterval->text(), QStringLiteral("60 sec."));
        QVERIFY(w.txtInterval->isReadOnly());
        QCOMPARE(w.txtDivider->text(), QStringLiteral("1"));
        QVERIFY(w.txtDebugLog->isReadOnly());

        // The connection line: blank, below the grid and the buttons, within the window.
        QVERIFY(w.lblConnection->isVisible());
        QCOMPARE(w.lblConnection->text(), QString());
        const QRect line(w.lblConnection->mapTo(&w, QPoint(0, 0)), w.lblConnection->size());
        QVERIFY(line.top() > w.grdInterfaces->geometry().bottom());
        QVERIFY(line.top() > w.cmdDebug->geometry().bottom());
        QVERIFY(w.rect().contains(line));
        QVERIFY(line.height() >= w.lblConnection->fontMetrics().height());
    }

    void controlsByName_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QRect>("twips");
        QTest::newRow("cmdDebug") << "cmdDebug"
                                  << "Debug Log" << QRect(19815, 6330, 1305, 405);
        QTest::newRow("cmdUpgrade") << "cmdUpgrade"
                                    << "Upgrade" << QRect(19695, 1425, 1050, 405);
        QTest::newRow("fraSettings") << "fraSettings"
                                     << "Settings" << QRect(18255, 1935, 2865, 3720);
        QTest::newRow("optNLofB(1)") << "optNLofB(1)"
                                     << "België" << QRect(255, 570, 2010, 300);
        QTest::newRow("optProtocol(4)") << "optProtocol(4)"
                                        << "4.0" << QRect(240, 675, 765, 195);
        QTest::newRow("Frame2") << "Frame2"
                                << "Protocol DSMR" << QRect(210, 2160, 2490, 1380);
        QTest::newRow("Label5") << "Label5"
                                << "Puls divider" << QRect(225, 645, 1125, 240);
        QTest::newRow("cmdScanCom") << "cmdScanCom"
                                    << "Scan" << QRect(18465, 225, 1050, 405);
        QTest::newRow("cmdOpenCom") << "cmdOpenCom"
                                    << "Open" << QRect(19680, 825, 1050, 405);
        QTest::newRow("cmdCloseCom") << "cmdCloseCom"
                                     << "Close" << QRect(19695, 825, 1050, 405);
        QTest::newRow("grdInterfaces") << "grdInterfaces"
                                       << "" << QRect(135, 315, 17985, 6480);
        QTest::newRow("fraDebug") << "fraDebug"
                                  << "Debug Log" << QRect(2835, 915, 18315, 5580);
        QTest::newRow("cmldClear") << "cmldClear"
                                   << "Clear" << QRect(17100, 375, 885, 540);
        QTest::newRow("cmdSaveDebugLog") << "cmdSaveDebugLog"
                                         << "Open in Notepad" << QRect(15165, 2040, 885, 540);
        QTest::newRow("Label2") << "Label2"
                                << "----------------    EXPORT    ----------------"
                                << QRect(7695, 15, 3780, 270);
        QTest::newRow("imgRefresh") << "imgRefresh"
                                    << "" << QRect(19920, 330, 810, 780);
    }
    void controlsByName() {
        QFETCH(QString, name);
        QFETCH(QString, caption);
        QFETCH(QRect, twips);
        WindowUnderTest t;
        QWidget* control = t.w.findChild<QWidget*>(name);
        QVERIFY(control);
        const QRect px = control->geometry();
        // Twips to pixels at 15 to one, to the nearest pixel.
        QVERIFY(qAbs(px.x() * 15 - twips.x()) <= 8 && qAbs(px.y() * 15 - twips.y()) <= 8);
        QVERIFY(qAbs(px.width() * 15 - twips.width()) <= 8);
        QVERIFY(qAbs(px.height() * 15 - twips.height()) <= 8);
        QString text;
        if (auto* button = qobject_cast<QAbstractButton*>(control))
            text = button->text();
        else if (auto* frame = qobject_cast<QGroupBox*>(control))
            text = frame->title();
        else if (auto* label = qobject_cast<QLabel*>(control))
            text = label->text();
        QCOMPARE(text, caption);
    }

    void colouredButtonsAndTabOrder() {
        WindowUnderTest t;
        frmKDR31& w = t.w;
        QCOMPARE(w.cmdOpenCom->palette().color(QPalette::Button), QColor(128, 255, 128));
        QCOMPARE(w.cmdScanCom->palette().color(QPalette::Button), QColor(255, 255, 128));
        // Tab order: Open, Close, grid, port list, Scan, ... the debug frame's buttons last.
        auto next = [](QWidget* from) {
            QWidget* widget = from->nextInFocusChain();
            while (widget->objectName().isEmpty() || widget->objectName().startsWith("qt_"))
                widget = widget->nextInFocusChain();
            return widget->objectName();
        };
        QCOMPARE(next(w.cmdOpenCom), QStringLiteral("cmdCloseCom"));
        QCOMPARE(next(w.cmdCloseCom), QStringLiteral("grdInterfaces"));
        QCOMPARE(next(w.grdInterfaces), QStringLiteral("cmbComPort"));
        QCOMPARE(next(w.cmbComPort), QStringLiteral("cmdScanCom"));
        QCOMPARE(next(w.cmdSaveDebugLog), QStringLiteral("cmdStopDebugLog"));
        QCOMPARE(next(w.cmdStopDebugLog), QStringLiteral("cmldClear"));
    }

    void gridLayout() {
        WindowUnderTest t;
        const ReadingsGrid& grid = *t.w.grdInterfaces;
        QCOMPARE(grid.Rows(), 1);
        const QStringList captions = {
            "Date", "Time",  "", "Power",  "High", "Low", "Diff.", "", "Power",   "High",
            "Low",  "Diff.", "", "Tariff", "",     "Gas", "Diff.", "", "Extern1", "Extern2"};
        const QList<int> twips = {1000, 800, 50, 1400, 1400, 1400, 700, 50, 1400, 1400,
                                  1400, 700, 50, 1000, 50,   1400, 700, 50, 1200, 1200};
        for (int column = 0; column < 20; ++column) {
            QCOMPARE(grid.TextMatrix(0, column), captions[column]);
            QVERIFY(qAbs(grid.ColWidth(column) * 15 - twips[column]) <= 8);
            if (!captions[column].isEmpty())
                QCOMPARE(grid.Table().CellAlignment(0, column), Qt::Alignment(Qt::AlignCenter));
        }
        QCOMPARE(grid.CaptionHeight(), 27); // 400 twips
        // Nineteen data rows fit below the caption row.
        QCOMPARE(grid.VisibleDataRows(), 19);
    }

    void textsFitTheirPlaces() {
        // Run at 96 dpi and again with QT_SCALE_FACTOR=1.25 (see the CMake file).
        WindowUnderTest t;
        const ReadingsGrid& grid = *t.w.grdInterfaces;
        auto fits = [&](int column, const QString& text) {
            const int width = QFontMetrics(grid.CellFont(column)).horizontalAdvance(text);
            if (width <= grid.TextWidth(column))
                return true;
            qWarning("column %d: \"%s\" is %d px, room for %d", column, qPrintable(text), width,
                     grid.TextWidth(column));
            return false;
        };
        // The widest number text, in every column that shows a number with a unit.
        for (int column : {3, 4, 5, 8, 9, 10, 15})
            QVERIFY(fits(column, QStringLiteral("-1.234568E+07 Wh")));
        for (int column : {6, 11})
            QVERIFY(fits(column, QStringLiteral("1234.568 Wh")));
        QVERIFY(fits(16, QStringLiteral("0,001 m\u00b3")));
        QVERIFY(fits(18, QStringLiteral("-1.234568E+07")));
        for (const char* name : {"nl_NL", "fr_BE", "de_DE"}) {
            const QLocale locale(QString::fromLatin1(name));
            QVERIFY(fits(0, locale.toString(QDate(2026, 12, 31), QLocale::ShortFormat)));
            QVERIFY(fits(1, locale.toString(QTime(23, 59, 59), TimeFormatWithSeconds(locale))));
        }

        // The longest connection line there usually is, on a by-id adapter's service.
        const QString held = PortHeldText(
            32, QStringLiteral("kdr31-cli (pid 4194304)"),
            QStringLiteral(
                "kdr31-mqtt@serial-by\\x2did-usb\\x2dFTDI_FT232R_USB_UART_A1B2C3-if00-port0"));
        QVERIFY(t.w.lblConnection->fontMetrics().horizontalAdvance(held) <=
                t.w.lblConnection->contentsRect().width());
        // The longest capacity line: a warning, and figures of tens of kW.
        CapacityNow busy;
        busy.peakWarning = true;
        busy.warningMinutesLeft = 14.5;
        busy.quarterAverageW = busy.quarterForecastW = 22'222.222;
        busy.headroomW = -22'222.222;
        busy.monthPeak = QuarterHour{0, 0, true, 22'222.222};
        std::vector<CapacityMonth> months;
        for (const auto& [year, month] : BilledMonths(2026, 12))
            months.push_back({year, month, 22'222.222});
        busy.bill = std::make_shared<const CapacityBill>(BillOf(months));
        const QString capacity = CapacityLineText(busy, QLocale(QStringLiteral("nl_BE")));
        QVERIFY2(t.w.lblCapacity->fontMetrics().horizontalAdvance(capacity) <=
                     t.w.lblCapacity->contentsRect().width(),
                 qPrintable(capacity));

        auto* notepad = qobject_cast<WrapButton*>(t.w.cmdSaveDebugLog);
        QVERIFY(notepad && notepad->ContentsRect().contains(notepad->TextRect()));
        for (int index : {2, 4, 5}) {
            QRadioButton* option = t.w.optProtocol[static_cast<size_t>(index)];
            QVERIFY(t.w.Frame2->rect().contains(option->geometry()));
            QVERIFY(option->style()->pixelMetric(QStyle::PM_ExclusiveIndicatorHeight, nullptr,
                                                 option) <= option->height());
            QStyleOptionButton look;
            look.initFrom(option);
            look.text = option->text();
            const QRect text =
                option->style()->subElementRect(QStyle::SE_RadioButtonContents, &look, option);
            QVERIFY(option->fontMetrics().horizontalAdvance(option->text()) <= text.width());
            QVERIFY(option->fontMetrics().tightBoundingRect(option->text()).height() <=
                    text.height());
        }
    }

    void gridPaintsItsRows() {
        WindowUnderTest t;
        ReadingsGrid& grid = *t.w.grdInterfaces;
        ReadingsRow row;
        row.state = ReadingsRow::Failed;
        grid.AppendRow(row);
        const QImage image = grid.viewport()->grab().toImage();
        // Dark (text) pixels in the band of the first data row, none in the band below it.
        auto darkPixels = [&](int top) {
            int dark = 0;
            for (int y = top + 2; y < top + grid.RowHeight() - 2; ++y)
                for (int x = 0; x < 200; ++x)
                    dark += qGray(image.pixel(x, y)) < 100;
            return dark;
        };
        QVERIFY(darkPixels(grid.CaptionHeight()) > 20);
        QCOMPARE(darkPixels(grid.CaptionHeight() + grid.RowHeight()), 0);
    }

    void gridIsAnAccessibleTable() {
        // (The offscreen platform has no accessibility bridge, so the events that tell a screen
        // reader of new rows and of the focus cannot be seen here.)
        WindowUnderTest t;
        ReadingsGrid& grid = *t.w.grdInterfaces;
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(&grid);
        QVERIFY(iface && iface->tableInterface());
        QAccessibleTableInterface* table = iface->tableInterface();
        QCOMPARE(iface->role(), QAccessible::Table);
        QCOMPARE(table->columnCount(), 20);
        QCOMPARE(table->rowCount(), 0);
        QCOMPARE(iface->child(15)->role(), QAccessible::ColumnHeader);
        QCOMPARE(iface->child(15)->text(QAccessible::Name), QStringLiteral("Gas"));

        ReadingsRow failed;
        failed.state = ReadingsRow::Failed;
        grid.AppendRow(failed);
        ReadingsRow received;
        received.state = ReadingsRow::Received;
        received.fields[0] = 200;
        received.fields[8] = 3456.789f;
        received.present = 0x1fff;
        grid.AppendRow(received);
        QCOMPARE(table->rowCount(), 2);
        QCOMPARE(table->cellAt(0, 3)->text(QAccessible::Name), QStringLiteral("???"));
        QAccessibleInterface* power = table->cellAt(1, 3);
        QCOMPARE(power->role(), QAccessible::Cell);
        QCOMPARE(power->text(QAccessible::Name), QStringLiteral("200 W"));
        QCOMPARE(table->cellAt(1, 15)->text(QAccessible::Name), QString("3456.789 m\u00b3"));
        QCOMPARE(table->cellAt(1, 1)->text(QAccessible::Name), grid.TextMatrix(2, 1));
        QCOMPARE(power->tableCellInterface()->columnHeaderCells().value(0)->text(QAccessible::Name),
                 QStringLiteral("Power"));
        // With rows below them, every column's description and header give its caption, never
        // a cell of the first row.
        QCOMPARE(table->columnDescription(3), QStringLiteral("Power"));
        QCOMPARE(table->columnDescription(15), QStringLiteral("Gas"));
        for (int column = 0; column < table->columnCount(); ++column) {
            const QString caption = grid.TextMatrix(0, column);
            QCOMPARE(table->columnDescription(column), caption);
            QCOMPARE(iface->child(column)->text(QAccessible::Name), caption);
            QAccessibleTableCellInterface* cell = table->cellAt(0, column)->tableCellInterface();
            QCOMPARE(cell->columnHeaderCells().value(0)->text(QAccessible::Name), caption);
        }

        // The arrow keys move the current cell, which is the accessible focus.
        t.w.activateWindow();
        grid.setFocus();
        QVERIFY(QTest::qWaitForWindowActive(&t.w) && grid.hasFocus());
        grid.SetRow(2);
        grid.SetCol(3);
        QTest::keyClick(&grid, Qt::Key_Right);
        QTest::keyClick(&grid, Qt::Key_Up);
        QCOMPARE(iface->focusChild(), table->cellAt(0, 4));
        QVERIFY(iface->focusChild()->state().focused);
        grid.SetRows(1); // a reconnect
        QCOMPARE(table->rowCount(), 0);
        QVERIFY(!table->cellAt(0, 3));
    }

    void unloadWithoutPort() {
        WindowUnderTest t;
        t.w.close();
        QCOMPARE(t.w.PortState, std::uint8_t(PortStateClosed));
        QVERIFY(t.log->messages.isEmpty());
    }

    void openComAndUnload() {
        SimulatedDevice sim(2);
        QVERIFY(sim.Start());
        WindowUnderTest t;
        QCOMPARE(t.w.OpenCom(5), std::uint8_t(PortStateNoDevice)); // not there
        QVERIFY(!t.w.MSComm1->PortOpen());
        QCOMPARE(t.w.OpenCom(2), std::uint8_t(2));
        QVERIFY(t.w.MSComm1->PortOpen());
        QCOMPARE(t.w.OpenCom(2), std::uint8_t(PortStateNoDevice)); // already open
        QVERIFY(t.w.MSComm1->PortOpen());
        QCOMPARE(t.w.SendCommand(Command::Identify, {}).at(0), char(ReplyOk));
        QVERIFY(sim.device.LineSeen() == sim::DeviceLine()); // 115200 8N1, no flow control
        // Opened with other settings, the line carries noise to the device, pty or not.
        QVERIFY(t.w.MSComm1->SetPortOpen(false));
        QVERIFY(t.w.MSComm1->SetSettings(QStringLiteral("9600,E,7,2")));
        QVERIFY(t.w.MSComm1->SetPortOpen(true));
        QCOMPARE(t.w.SendCommand(Command::Identify, {}), SingleByte(ReplyTimedOut));
        const sim::LineSettings seen = sim.device.LineSeen().value_or(sim::LineSettings{});
        // Linux keeps a pseudo-terminal at 8 data bits without parity; speed and stop bits tell.
        QVERIFY(seen.baud == 9600 && seen.stopBits == 2);
        t.w.PortState = 2;
        t.w.close();
        QCOMPARE(t.w.PortState, std::uint8_t(PortStateClosed));
        QVERIFY(!t.w.MSComm1->PortOpen());
    }

    void closingWhileATransactionWaits() {
        SimulatedDevice sim(1);
        QVERIFY(sim.Start());
        sim.device.SetFault(Command::Readings, sim::Fault::Silent);
        WindowUnderTest t;
        QCOMPARE(t.w.OpenCom(1), std::uint8_t(1));
        // The close arrives during the transaction's one yield to the event loop.
        QTimer::singleShot(0, &t.w, [&] { t.w.close(); });
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(t.w.SendCommand(Command::Readings, {}), SingleByte(ReplyTimedOut));
        QVERIFY(clock.elapsed() < 300);
        QVERIFY(!t.w.MSComm1->PortOpen());
        QVERIFY(!t.w.isVisible());
        // Nothing further goes out on the closed port.
        QCOMPARE(t.w.SendCommand(Command::Readings, {}), SingleByte(ReplyTimedOut));
        QTest::qWait(50);
        QCOMPARE(sim.device.ReceivedFrames().size(), size_t(1));
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_main_window.moc"
