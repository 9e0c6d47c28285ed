#include "Version.h"
#include "app/ModMain.h"

#include <QApplication>
#include <cstdio>
#include <cstring>
#include <curl/curl.h>

int main(int argc, char* argv[]) {
    // Answered before the window system is touched, so it works without a display.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("kdr31 %s\n", KDR31_VERSION_STRING);
        return 0;
    }
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
