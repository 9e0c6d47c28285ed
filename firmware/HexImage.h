#pragma once
// Conversion of the KDR31's Intel HEX firmware file into the flat image the boot loader takes:
// byte i of the image is the byte for device address i, from address 0 up to the highest
// address a stored data record reached. Bad records are reported through message boxes and do
// not stop the conversion; only a file that cannot be read, or a line the checksum cannot be
// taken over, fails it. Whether the file was whole is reported beside the image, for the caller
// to judge: a file cut short can still convert without a single message.

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>

// Shows one message box with an OK button and returns when the user has pressed it.
using MessageSink = std::function<void(const QString&)>;

struct HexImage {
    bool ok = false;             // false: unreadable file or a line the loader cannot handle
    QString error;               // a clear message for the user when !ok (names the file/line)
    QByteArray image;            // the image when ok (may be empty)
    bool checksumErrors = false; // at least one line had a checksum error
    bool endRecord = false;      // the end-of-file record ("01") was reached
    bool shortRecords = false;   // a data or segment record held fewer data characters than
                                 // its byte count says
};

// Bad lines beyond this many in one file get no box of their own: one more box sums them up per
// kind ("... and N more lines with checksum errors"), so a damaged file cannot ask for thousands
// of OKs.
constexpr int MaxLineMessages = 10;

// Longest line whose checksum is taken: 121 data bytes. The device's images use far shorter
// records; a longer data or segment record is refused rather than half read.
constexpr int MaxHexLineLength = 253;

// Reads HexFile and builds the image. Records:
//   "00" data: checksum test (message, record still stored), then stored at segment base +
//        offset; with NoBoot, records whose 16-bit offset is 0x8000 or above are left out;
//   "01" end: later lines are not read;
//   "02" segment: checksum test (message, base unchanged), else base = value * 16;
//   "03", "04", "05": skipped silently (a "04" does not move later data);
//   anything else: message, line skipped.
// Gaps and the space in front of the first record are 0xFF; a later record overwrites an earlier
// one. Lines end with LF or CR LF; empty lines are skipped. msgBox may be empty; it is given at
// most MaxLineMessages boxes for single lines and then one summary box per kind of fault.
HexImage Hex2BinString(const QString& HexFile, bool NoBoot, const MessageSink& msgBox);

// Checksum of a record line: the two upper-case hex digits of (256 - s) mod 256, s being the sum
// of the digit pairs from the second character on (the first is the start character). "00" for
// a line that carries its own right checksum byte. Empty for a line longer than 253 characters
// or with a character after the first that is not a hex digit.
QString CheckSum(const QByteArray& Lijn);

// Value of hexadecimal text (0-9, A-F, a-f, the last character least significant); empty text
// is 0. nullopt for any other character or a value above 255.
std::optional<std::uint8_t> Hex2IntChecked(const QByteArray& HexString);

// Hex2IntChecked for text known to be well-formed; ill-formed text reads as 0.
std::uint8_t Hex2Int(const QByteArray& HexString);
