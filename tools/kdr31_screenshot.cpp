// Takes screenshots of the connected window with readings, as a user sees it: a simulated KDR31
// on COM1:, "Open" pressed, a few refreshes, then the screen area of the window is saved. Given
// a second file, the cable is then pulled and the window saved again, with its line below the
// grid saying that the device is being looked for.
//
// The window records into a history of its own, made for the shot: half an hour in which a
// quarter-hour reached 3 kW, the month's peak so far. The quarter-hour now has drawn 1 kW so
// far, and so does the simulated device; with --capacity-warning it draws 6 kW, the line for the
// capacity tariff takes its warning colour, and that window is the one saved.
//
//   kdr31_screenshot OUTPUT.png [UNPLUGGED.png]   (under an X server: scripts/screenshot.sh)
//   kdr31_screenshot --capacity-warning OUTPUT.png

#include "app/Dialogs.h"
#include "app/ModMain.h"
#include "history/HistoryStore.h"
#include "main_window/HistoryMenu.h"
#include "main_window/frmKDR31.h"
#include "readings/ReadingsGrid.h"
#include "simulator/Kdr31Simulator.h"
#include "tools/WindowShot.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QPushButton>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <cstdio>
#include <cstring>

namespace {

const std::string Serial = "KD310042";

// Half an hour of readings every 10 s up to now: a quarter-hour at 3 kW, one at 1 kW, and the
// quarter-hour now at `runningW`. Returns the import counter (Wh) the device goes on from.
std::optional<double> WriteHistory(const QString& path, double runningW) {
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const qint64 quarter = QuarterStart(now, QTimeZone::systemTimeZone());
    std::vector<Reading> readings;
    double counterWh = 1'523'456;
    for (qint64 time = quarter - 30 * 60'000; time < now - 1000; time += 10'000) {
        const double watts = time < quarter - 15 * 60'000 ? 3000 : time < quarter ? 1000 : runningW;
        Reading r;
        r.serial = QString::fromStdString(Serial);
        r.row.time = time;
        r.row.state = ReadingsRow::Received;
        r.row.present = 0x1fff;
        r.row.fields = {float(watts), float(counterWh), 987654.0f, 3.0f, 0.0f,  40000.0f, 30000.0f,
                        0.0f,         1234.5f,          0.0f,      1.0f, 17.0f, 0.0f};
        readings.push_back(r);
        counterWh += watts * 10 / 3600;
    }
    HistoryStore store;
    if (!store.Open(path) || !store.Insert(readings)) {
        std::fprintf(stderr, "kdr31_screenshot: %s\n", qPrintable(store.ErrorText()));
        return std::nullopt;
    }
    return counterWh;
}

} // namespace

int main(int argc, char* argv[]) {
    const bool warning = argc == 3 && std::strcmp(argv[1], "--capacity-warning") == 0;
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: kdr31_screenshot OUTPUT.png [UNPLUGGED.png]\n"
                             "       kdr31_screenshot --capacity-warning OUTPUT.png\n");
        return 2;
    }
    if (warning)
        argv[1] = argv[2];
    sim::Kdr31Simulator device;
    if (!device.Start()) {
        std::fprintf(stderr, "kdr31_screenshot: %s\n", device.ErrorText().c_str());
        return 1;
    }
    device.SetVersion({2, 1, 0, 15});
    device.SetSettings({5, 1, 5, 1});
    device.SetSerialNumber(Serial);
    qputenv("KDR31_COM1", QByteArray::fromStdString(device.PortPath()));

    QApplication app(argc, argv);
    ModMain::SetUpApplication();
    frmKDR31 window(std::make_unique<QtDialogs>());
    QTemporaryDir dir;
    const QString history = dir.filePath(QStringLiteral("history.sqlite"));
    const double runningW = warning ? 6000 : 1000;
    const std::optional<double> counterWh = WriteHistory(history, runningW);
    if (!counterWh)
        return 1;
    device.ContinueReadings({float(runningW), float(*counterWh), 987654.0f, 3.0f, 0.0f, 40000.0f,
                             30000.0f, 0.0f, 1234.5f, 0.0f, 1.0f, 17.0f, 0.0f});
    auto* menu = new HistoryMenu(window, history); // owned by the window
    window.show();
    QApplication::processEvents();

    window.cmbComPort->setCurrentIndex(0);
    emit window.cmbComPort->activated(0);
    window.cmdOpenCom->click();
    // The capacity figures take up from the history on a thread of the menu's own.
    QEventLoop seeded;
    QObject::connect(menu, &HistoryMenu::CapacitySeeded, &seeded, &QEventLoop::quit);
    QTimer::singleShot(20'000, &seeded, &QEventLoop::quit);
    window.timScan_Timer();
    seeded.exec();
    for (int tick = 0; tick < 11; ++tick)
        window.timScan_Timer(); // what the poll timer does every 5 s, here at once
    if (!SaveWindowShot(window, argv[1], "kdr31_screenshot"))
        return 1;
    std::printf("%s: %s, %d rows; %s\n", argv[1], qPrintable(window.windowTitle()),
                window.grdInterfaces->Rows() - 1, qPrintable(window.lblCapacity->text()));
    if (argc < 3 || warning)
        return 0;

    device.HangUp();
    QElapsedTimer clock;
    clock.start();
    while (window.lblConnection->text().isEmpty() && clock.elapsed() < 10'000) {
        QApplication::processEvents();
        QThread::msleep(10);
    }
    if (!SaveWindowShot(window, argv[2], "kdr31_screenshot"))
        return 1;
    std::printf("%s: %s\n", argv[2], qPrintable(window.lblConnection->text()));
    return 0;
}
