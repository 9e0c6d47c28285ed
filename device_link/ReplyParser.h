#pragma once
// Framing of requests and parsing of the KDR31's three reply shapes, without any I/O: the
// transaction feeds in what the port delivered and reads back the result. Replies carry no
// checksum; the only tests of a reply are its length and its end marker.

#include <QByteArray>
#include <cstdint>

// First byte of a transaction result.
enum ReplyCode : std::uint8_t {
    ReplyOk = 0,               // followed by the reply data (nothing for an acknowledgement)
    ReplyLengthOverflow = 250, // long reply whose length high byte is above 5
    ReplyWrongEnd = 251,       // the end marker is not where the length puts it
    ReplyTimedOut = 252,       // no usable reply before the deadline
    ReplyNotOk = 255,          // 208/210: three or more bytes without the acknowledgement
};

namespace Frame {
constexpr char Start = 0x2A; // '*'
constexpr char End = 0x23;   // '#'
inline const QByteArray Acknowledgement = QByteArrayLiteral("*U#");
} // namespace Frame

namespace Command {
constexpr std::uint8_t Identify = 86; // 'V'
constexpr std::uint8_t Readings = 64; // '@'
constexpr std::uint8_t Settings = 66; // 'B'
constexpr std::uint8_t DebugLog = 68; // 'D'
constexpr std::uint8_t UploadBlock = 208;
constexpr std::uint8_t UploadFinish = 210;
} // namespace Command

// Seconds from the request to the end of every transaction, and from the header of a long
// reply to its end.
constexpr double TransactionSeconds = 0.3;
constexpr double LongReplySeconds = 0.5;
// A long reply's length high byte may be at most this, so it carries at most 1535 bytes.
constexpr int MaxLongLengthHigh = 5;

// "*", the command byte, the payload exactly as given, "#". No length, no checksum, no escaping.
QByteArray BuildFrame(std::uint8_t command, const QByteArray& payload);

QByteArray SingleByte(std::uint8_t code);

// One transaction's reply collection. Positions of length, data and end marker are counted from
// the first byte received after the request, although the reply code itself is searched for.
class ReplyParser {
public:
    ReplyParser(std::uint8_t command, QByteArray& rxBuffer);

    // The request has been written: result 252, buffer empty, deadline now + 0.3 s.
    void Begin(double now);

    // One pass over what the port delivered since the last pass (possibly nothing). Returns
    // true when, for the settings command, three or more bytes arrived without the
    // acknowledgement: the caller reports "Settings error" and goes on waiting.
    bool Feed(const QByteArray& received, double now);

    // The deadline has passed: a reply still incomplete is discarded, the result stands.
    void Finish();

    double Deadline() const { return deadline_; }
    bool Expired(double now) const { return now >= deadline_; }
    const QByteArray& Result() const { return result_; }

private:
    enum class Phase { Searching, ShortBody, LongBody };

    bool Search(double now);
    void CompleteBodyIfThere();

    std::uint8_t command_;
    QByteArray& rx_;
    QByteArray result_;
    double deadline_ = 0;
    Phase phase_ = Phase::Searching;
    int need_ = 0; // bytes the buffer must hold before the body is complete
    int n_ = 0;    // data bytes announced by the length field
};
