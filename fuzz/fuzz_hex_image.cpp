// Any file content as a firmware HEX file: no crash, no byte out of range, bounded memory, and
// an image never larger than the addresses a HEX file can reach.

#include "firmware/HexImage.h"

#include <QFile>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

QString ScratchFile() {
    const char* dir = std::getenv("TMPDIR");
    return QString::fromLocal8Bit(dir ? dir : "/tmp") +
           QStringLiteral("/kdr31-fuzz-hex-%1.hex").arg(getpid());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    static const QString path = ScratchFile();
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            std::abort();
        file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    }
    size_t lines = 1;
    for (size_t i = 0; i < size; ++i)
        lines += data[i] == '\n';

    size_t messages = 0;
    const bool noBoot = size > 0 && (data[0] & 1);
    const HexImage result =
        Hex2BinString(path, noBoot, [&messages](const QString&) { ++messages; });
    // One message at most per line, and a failed load says why.
    if (messages > lines)
        std::abort();
    if (!result.ok && result.error.isEmpty())
        std::abort();
    if (result.ok && result.image.size() > 0xFFFF * 16 + 0xFFFF + 255)
        std::abort();
    // Each line has at most 253 hex-tested characters: 1 byte of count gives at most 255 bytes
    // per record, so a stored image comes from addresses the file names.
    return 0;
}
