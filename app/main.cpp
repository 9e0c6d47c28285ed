#include "Version.h"
#include "app/ModMain.h"

#include <QApplication>
#include <QStyleFactory>
#include <curl/curl.h>

int main(int argc, char* argv[]) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int exitCode = 0;
    {
        QApplication app(argc, argv);
        QApplication::setApplicationName(QStringLiteral("kdr31"));
        QApplication::setApplicationDisplayName(QStringLiteral("KDR31 Visualisation"));
        QApplication::setApplicationVersion(QStringLiteral(KDR31_VERSION_STRING));
        // One look on every desktop, and one that honours the coloured buttons.
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
        ModMain::Main();
        exitCode = QApplication::exec();
        ModMain::Shutdown();
    }
    curl_global_cleanup();
    return exitCode;
}
