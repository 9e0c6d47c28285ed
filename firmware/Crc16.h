#pragma once
// The 16-bit CRC that protects every upload block, the finishing command and the whole image on
// their way to the boot loader: CRC-16/X-25 per block, blocks chained (see CRC16).

#include <QByteArray>
#include <cstdint>
#include <optional>

// Longest string CRC16 takes: its positions and block starts are 16-bit signed numbers. The
// largest image the upload can send (255 blocks of 128 bytes) fits.
constexpr int Crc16MaxLength = 32766;

// One byte into the running CRC: polynomial 0x1021 reflected (0x8408), least significant bit
// of the byte first.
std::uint16_t CRC16Byte(std::uint16_t value, std::uint8_t byte);

// CRC of Data taken block by block, BlokLen bytes each. The first block starts from 0xFFFF; after
// each block the value is complemented and its two bytes swapped, and the next block goes on
// from there. Returns the last block's result as two bytes: the complemented CRC's low byte,
// then its high byte. A single block thus gives CRC-16/X-25 of Data, low byte first.
// nullopt, and nothing computed, when Data is empty or longer than Crc16MaxLength, BlokLen is
// below 1, or Data's length is not a multiple of BlokLen.
std::optional<QByteArray> CRC16(const QByteArray& Data, int BlokLen);
