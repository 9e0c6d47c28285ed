#pragma once
// The real main window, offscreen, with the dialog seam answered by the test.

#include "main_window/frmKDR31.h"
#include "support/FakeDialogs.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QPushButton>
#include <memory>

struct WindowUnderTest {
    std::shared_ptr<DialogLog> log = std::make_shared<DialogLog>();
    std::unique_ptr<frmKDR31> window =
        std::make_unique<frmKDR31>(std::make_unique<FakeDialogs>(log));
    frmKDR31& w = *window;

    WindowUnderTest() {
        window->show();
        // Let the window settle (scroll bars are laid out from queued events).
        QCoreApplication::processEvents();
    }

    // What a user's pick of COM<port>: in the list does.
    void PickPort(int port) {
        w.cmbComPort->setCurrentIndex(port - 1);
        emit w.cmbComPort->activated(port - 1);
    }

    // Pick COM<port>: and press "Open".
    void Connect(int port) {
        PickPort(port);
        w.cmdOpenCom->click();
    }
};
