#include "cli/Console.h"

#include <cstdio>
#include <unistd.h>

bool WriteOut(const QByteArray& bytes) {
    if (!bytes.isEmpty() &&
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout) != size_t(bytes.size()))
        return false;
    return std::fflush(stdout) == 0;
}

bool PrintLine(const QString& line) {
    return WriteOut(line.toUtf8() + '\n');
}

void WriteErr(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

void PrintError(const QString& text) {
    WriteErr(QStringLiteral("kdr31-cli: ") + text + QLatin1Char('\n'));
}

bool StdinIsTerminal() {
    return isatty(STDIN_FILENO) == 1;
}

bool StderrIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}
