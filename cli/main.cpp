// kdr31-cli: the KDR31 from the command line, for machines without a screen.

#include "Version.h"
#include "cli/CliOptions.h"
#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/Interrupts.h"

#include <QCoreApplication>
#include <curl/curl.h>

int main(int argc, char* argv[]) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int exitCode = ExitOk;
    {
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("kdr31-cli"));
        QCoreApplication::setApplicationVersion(QStringLiteral(KDR31_VERSION_STRING));
        const ParsedCommandLine parsed = ParseCommandLine(QCoreApplication::arguments());
        switch (parsed.kind) {
        case ParsedCommandLine::Help:
            WriteOut(parsed.text.toUtf8());
            break;
        case ParsedCommandLine::Version:
            PrintLine(QStringLiteral("kdr31-cli " KDR31_VERSION_STRING));
            break;
        case ParsedCommandLine::Usage:
            PrintError(parsed.text);
            exitCode = ExitUsage;
            break;
        case ParsedCommandLine::Run: {
            Interrupts interrupts;
            exitCode = RunCommand(parsed.request, interrupts);
            break;
        }
        }
    }
    curl_global_cleanup();
    return exitCode;
}
