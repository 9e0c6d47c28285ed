#include "app/ModMain.h"

#include <QApplication>
#include <curl/curl.h>

int main(int argc, char* argv[]) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int exitCode = 0;
    {
        QApplication app(argc, argv);
        ModMain::SetUpApplication();
        ModMain::Main();
        exitCode = QApplication::exec();
        ModMain::Shutdown();
    }
    curl_global_cleanup();
    return exitCode;
}
