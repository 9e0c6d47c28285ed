#include "Version.h"
#include "app/ModMain.h"
#include "history/HistoryStore.h"
#include "main_window/HistoryMenu.h"
#include "main_window/frmKDR31.h"

#include <QApplication>
#include <QStyleFactory>
#include <memory>

namespace {
std::unique_ptr<frmKDR31> mainWindow;
}

void ModMain::SetUpApplication() {
    QApplication::setApplicationName(QStringLiteral("kdr31"));
    QApplication::setApplicationVersion(QStringLiteral(KDR31_VERSION_STRING));
    // One look on every desktop, and one that honours the coloured buttons.
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
}

void ModMain::Main() {
    if (!mainWindow) {
        mainWindow = std::make_unique<frmKDR31>(std::make_unique<QtDialogs>());
        new HistoryMenu(*mainWindow, HistoryStore::DefaultPath()); // owned by the window
    }
    mainWindow->show();
}

void ModMain::Shutdown() {
    mainWindow.reset();
}
