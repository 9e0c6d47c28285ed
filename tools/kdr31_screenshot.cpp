// Takes screenshots of the connected window with readings, as a user sees it: a simulated KDR31
// on COM1:, "Open" pressed, a few refreshes, then the screen area of the window is saved. Given
// a second file, the cable is then pulled and the window saved again, with its line below the
// grid saying that the device is being looked for.
//
//   kdr31_screenshot OUTPUT.png [UNPLUGGED.png]   (under an X server: scripts/screenshot.sh)

#include "app/Dialogs.h"
#include "app/ModMain.h"
#include "main_window/frmKDR31.h"
#include "readings/ReadingsGrid.h"
#include "simulator/Kdr31Simulator.h"
#include "tools/WindowShot.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QStyleFactory>
#include <QThread>
#include <cstdio>

int main(int argc, char* argv[]) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: kdr31_screenshot OUTPUT.png [UNPLUGGED.png]\n");
        return 2;
    }
    sim::Kdr31Simulator device;
    if (!device.Start()) {
        std::fprintf(stderr, "kdr31_screenshot: %s\n", device.ErrorText().c_str());
        return 1;
    }
    device.SetVersion({2, 1, 0, 15});
    device.SetSettings({5, 1, 5, 1});
    qputenv("KDR31_COM1", QByteArray::fromStdString(device.PortPath()));

    QApplication app(argc, argv);
    ModMain::SetUpApplication();
    frmKDR31 window(std::make_unique<QtDialogs>());
    window.show();
    QApplication::processEvents();

    window.cmbComPort->setCurrentIndex(0);
    emit window.cmbComPort->activated(0);
    window.cmdOpenCom->click();
    for (int tick = 0; tick < 12; ++tick)
        window.timScan_Timer(); // what the poll timer does every 5 s, here at once
    if (!SaveWindowShot(window, argv[1], "kdr31_screenshot"))
        return 1;
    std::printf("%s: %s, %d rows\n", argv[1], qPrintable(window.windowTitle()),
                window.grdInterfaces->Rows() - 1);
    if (argc < 3)
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
