#include "firmware/Crc16.h"

#include <array>

namespace {

constexpr std::uint16_t Polynomial = 0x8408;

constexpr std::uint16_t ByteStep(std::uint16_t value, std::uint8_t byte) {
    for (int bit = 0; bit < 8; ++bit) {
        const bool feedback = ((byte >> bit) ^ value) & 1;
        value >>= 1;
        if (feedback)
            value ^= Polynomial;
    }
    return value;
}

// A byte step is linear, so the eight bit steps of one byte fold into one table look-up:
// step(v, b) = (v >> 8) ^ step(0, (v ^ b) & 0xFF).
constexpr std::array<std::uint16_t, 256> Table = [] {
    std::array<std::uint16_t, 256> table{};
    for (int i = 0; i < 256; ++i)
        table[i] = ByteStep(0, static_cast<std::uint8_t>(i));
    return table;
}();

} // namespace

std::uint16_t CRC16Byte(std::uint16_t value, std::uint8_t byte) {
    return ByteStep(value, byte);
}

std::optional<QByteArray> CRC16(const QByteArray& Data, int BlokLen) {
    if (Data.isEmpty() || Data.size() > Crc16MaxLength || BlokLen < 1 || Data.size() % BlokLen != 0)
        return std::nullopt;

    const auto* bytes = reinterpret_cast<const std::uint8_t*>(Data.constData());
    std::uint16_t value = 0xFFFF;
    for (qsizetype start = 0; start < Data.size(); start += BlokLen) {
        for (qsizetype i = start; i < start + BlokLen; ++i)
            value = static_cast<std::uint16_t>((value >> 8) ^ Table[(value ^ bytes[i]) & 0xFF]);
        value = static_cast<std::uint16_t>(~value);
        value = static_cast<std::uint16_t>((value << 8) | (value >> 8));
    }
    QByteArray result(2, '\0');
    result[0] = static_cast<char>(value >> 8);
    result[1] = static_cast<char>(value & 0xFF);
    return result;
}
