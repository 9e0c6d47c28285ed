#pragma once
// The real main window, offscreen, with the dialog seam answered by the test.

#include "support/FakeDialogs.h"
#include "main_window/frmKDR31.h"

#include <memory>

struct WindowUnderTest {
    std::shared_ptr<DialogLog> log = std::make_shared<DialogLog>();
    std::unique_ptr<frmKDR31> window =
        std::make_unique<frmKDR31>(std::make_unique<FakeDialogs>(log));
    frmKDR31& w = *window;

    WindowUnderTest() { window->show(); }
};
