// Takes a screenshot of the connected window with readings, as a user sees it: a simulated KDR31
// on COM1:, "Open" pressed, a few refreshes, then the screen area of the window is saved.
//
//   kdr31_screenshot OUTPUT.png      (run under an X server, e.g. xvfb-run: scripts/screenshot.sh)

#include "app/Dialogs.h"
#include "app/ModMain.h"
#include "main_window/frmKDR31.h"
#include "readings/ReadingsGrid.h"
#include "simulator/Kdr31Simulator.h"
#include "tools/WindowShot.h"

#include <QApplication>
#include <QComboBox>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QStyleFactory>
#include <QThread>
#include <cstdio>

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kdr31_screenshot OUTPUT.png\n");
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
    for (int i = 0; i < 10; ++i) {
        QApplication::processEvents();
        QThread::msleep(30);
    }

    const QRect area = window.frameGeometry();
    const QPixmap shot =
        window.screen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    if (!shot.save(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "kdr31_screenshot: cannot write %s\n", argv[1]);
        return 1;
    }
    std::printf("%s: %s, %d rows\n", argv[1], qPrintable(window.windowTitle()),
                window.grdInterfaces->Rows() - 1);
    return 0;
}
