// Any byte stream as what the port delivers during one transaction, for any command: the parser
// never reads past its buffer and always ends in one of the defined results.
//
// Input: byte 0 picks the command; then chunks, each a header byte (low 6 bits: length, high 2
// bits: how far the clock moves before the chunk) followed by its bytes.

#include "device_link/ReplyParser.h"

#include <cstdint>
#include <cstdlib>

namespace {

constexpr std::uint8_t Commands[] = {Command::Identify,
                                     Command::Readings,
                                     Command::Settings,
                                     Command::DebugLog,
                                     Command::UploadBlock,
                                     Command::UploadFinish,
                                     0,
                                     255};

void Check(bool condition) {
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const std::uint8_t command = Commands[data[0] % sizeof Commands];
    QByteArray buffer;
    ReplyParser parser(command, buffer);
    double now = 0;
    parser.Begin(now);
    size_t at = 1;
    qsizetype fed = 0;
    while (at < size && !parser.Expired(now)) {
        const std::uint8_t header = data[at++];
        now += (header >> 6) * 0.12;
        const size_t length = std::min<size_t>(header & 0x3F, size - at);
        if (parser.Expired(now))
            break;
        parser.Feed(
            QByteArray(reinterpret_cast<const char*>(data + at), static_cast<qsizetype>(length)),
            now);
        fed += static_cast<qsizetype>(length);
        at += length;
        Check(buffer.size() <= fed);
    }
    parser.Finish();

    const QByteArray& result = parser.Result();
    Check(!result.isEmpty());
    const auto code = static_cast<std::uint8_t>(result.at(0));
    Check(code == ReplyOk || code == ReplyLengthOverflow || code == ReplyWrongEnd ||
          code == ReplyTimedOut || code == ReplyNotOk);
    if (code != ReplyOk)
        Check(result.size() == 1);
    switch (command) {
    case Command::Settings:
        Check(result == SingleByte(ReplyTimedOut));
        break;
    case Command::UploadBlock:
    case Command::UploadFinish:
        Check(result.size() == 1 && code != ReplyLengthOverflow);
        break;
    case Command::DebugLog:
        Check(result.size() - 1 <= 1535 && code != ReplyNotOk);
        break;
    default:
        Check(code != ReplyLengthOverflow && code != ReplyNotOk);
        // 0, the data, the end marker and what came in the same read: never more than was fed.
        if (code == ReplyOk)
            Check(result.size() >= 2 && result.size() - 1 <= fed);
    }
    return 0;
}
