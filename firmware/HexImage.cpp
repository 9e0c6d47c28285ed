#include "firmware/HexImage.h"

#include <QDir>
#include <QFile>
#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

namespace {

// Digit value of every byte, -1 for bytes that are not hexadecimal digits.
constexpr std::array<std::int8_t, 256> HexDigits = [] {
    std::array<std::int8_t, 256> digits{};
    for (int c = 0; c < 256; ++c) {
        if (c >= '0' && c <= '9')
            digits[c] = static_cast<std::int8_t>(c - '0');
        else if (c >= 'A' && c <= 'F')
            digits[c] = static_cast<std::int8_t>(c - 'A' + 10);
        else if (c >= 'a' && c <= 'f')
            digits[c] = static_cast<std::int8_t>(c - 'a' + 10);
        else
            digits[c] = -1;
    }
    return digits;
}();

int DigitAt(const QByteArray& line, qsizetype index) {
    return HexDigits[static_cast<std::uint8_t>(line.at(index))];
}

// Sum byte of a record line: nullopt when the line is too long or a character after the start
// character is not a hex digit. An odd last character is read as a one-digit number.
std::optional<std::uint8_t> LineSum(const QByteArray& line) {
    if (line.size() > MaxHexLineLength)
        return std::nullopt;
    unsigned sum = 0;
    for (qsizetype p = 1; p < line.size(); p += 2) {
        const bool pair = p + 1 < line.size();
        const int high = DigitAt(line, p);
        const int low = pair ? DigitAt(line, p + 1) : 0;
        if (high < 0 || low < 0)
            return std::nullopt;
        sum += pair ? high * 16 + low : high;
    }
    return static_cast<std::uint8_t>(256 - sum % 256);
}

// A number field at 1-based position and width, read as far as it holds hex digits; characters
// past the end of the line read as nothing, so a missing field is 0.
unsigned HexField(const QByteArray& line, qsizetype position, qsizetype width) {
    unsigned value = 0;
    for (qsizetype i = position - 1; i < position - 1 + width && i < line.size(); ++i) {
        const int digit = DigitAt(line, i);
        if (digit < 0)
            break;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return value;
}

QString Chars(const QByteArray& line, qsizetype position, qsizetype width) {
    return QString::fromLatin1(line.mid(position - 1, width));
}

// Reads a file line by line in chunks. Of each line it keeps only as many characters as a record
// the loader reads in full may have, and counts the rest, so an arbitrarily long line costs no
// memory.
class LineReader {
public:
    explicit LineReader(QFile& file) : file_(file) {}

    // The next line without its end (LF or CR LF; a CR at the very end of the file goes too);
    // length is the line's full length. false at the end of the file or when reading failed
    // (see Failed).
    bool Next(QByteArray& line, qsizetype& length) {
        line.clear();
        length = 0;
        bool any = false;
        char last = 0;
        for (;;) {
            if (pos_ == buffer_.size() && !Refill())
                break;
            const char* begin = buffer_.constData() + pos_;
            const qsizetype available = buffer_.size() - pos_;
            const auto* lf = static_cast<const char*>(std::memchr(begin, '\n', available));
            const qsizetype take = lf ? lf - begin : available;
            any = true;
            if (take > 0) {
                line.append(begin, std::min(take, Kept - line.size()));
                length += take;
                last = begin[take - 1];
            }
            pos_ += lf ? take + 1 : take;
            if (lf)
                break;
        }
        if (last == '\r') {
            --length;
            if (line.size() > length)
                line.chop(1);
        }
        return any;
    }

    bool Failed() const { return failed_; }

private:
    static constexpr qsizetype Kept = MaxHexLineLength + 1;
    static constexpr qint64 ChunkSize = 64 * 1024;

    bool Refill() {
        if (atEnd_)
            return false;
        buffer_.resize(ChunkSize);
        const qint64 got = file_.read(buffer_.data(), ChunkSize);
        buffer_.resize(got > 0 ? got : 0);
        pos_ = 0;
        failed_ = got < 0;
        atEnd_ = got <= 0;
        return got > 0;
    }

    QFile& file_;
    QByteArray buffer_;
    qsizetype pos_ = 0;
    bool atEnd_ = false;
    bool failed_ = false;
};

} // namespace

HexImage Hex2BinString(const QString& HexFile, bool NoBoot, const MessageSink& msgBox) {
    const QString name = QDir::toNativeSeparators(HexFile);
    HexImage result;
    const auto fail = [&result](const QString& error) {
        result.error = error;
        return result;
    };
    QFile file(HexFile); // closed by its destructor on every way out
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("The firmware file %1 cannot be opened: %2")
                        .arg(name, file.errorString()));

    const auto show = [&msgBox](const QString& text) {
        if (msgBox)
            msgBox(text);
    };
    // Single lines get boxes up to the limit; past it they are only counted, per kind.
    int lineBoxes = 0;
    int moreChecksumErrors = 0;
    int moreUnsupportedTypes = 0;
    const auto report = [&](const QString& text, int& more) {
        if (lineBoxes < MaxLineMessages) {
            ++lineBoxes;
            show(text);
        } else {
            ++more;
        }
    };
    QByteArray image;
    unsigned segmentBase = 0;
    LineReader reader(file);
    QByteArray line;
    qsizetype length = 0;
    int lineNumber = 0;
    while (reader.Next(line, length)) {
        ++lineNumber;
        if (length == 0)
            continue;
        const QByteArray type = line.mid(7, 2);
        if (type == "01") {
            result.endRecord = true;
            break;
        }
        if (type == "03" || type == "04" || type == "05")
            continue;
        if (type != "00" && type != "02") {
            report(QStringLiteral("HEX Data type ") + QString::fromLatin1(type) +
                       QStringLiteral(" not supported. This will be ignored!"),
                   moreUnsupportedTypes);
            continue;
        }

        if (length > MaxHexLineLength)
            return fail(QStringLiteral("The firmware file %1 cannot be used: line %2 is "
                                       "longer than %3 characters.")
                            .arg(name)
                            .arg(lineNumber)
                            .arg(MaxHexLineLength));
        const std::optional<std::uint8_t> sum = LineSum(line);
        if (!sum)
            return fail(QStringLiteral("The firmware file %1 cannot be used: line %2 holds "
                                       "a character that is not a hexadecimal digit.")
                            .arg(name)
                            .arg(lineNumber));
        // A line cut short lacks data its byte count promises, and about one cut in 256 still
        // comes out with a right checksum.
        if (length < 9 + 2 * qsizetype(HexField(line, 2, 2)))
            result.shortRecords = true;

        if (type == "02") {
            if (*sum != 0) {
                report(QStringLiteral("Checksum error op extended segment address &H") +
                           Chars(line, 10, 4),
                       moreChecksumErrors);
                result.checksumErrors = true;
            } else {
                segmentBase = HexField(line, 10, 4) * 16;
            }
            continue;
        }

        // A bad checksum is reported, but the record is used all the same.
        if (*sum != 0) {
            report(QStringLiteral("Checksum error op data record op adres &H") + Chars(line, 4, 4),
                   moreChecksumErrors);
            result.checksumErrors = true;
        }
        const unsigned count = HexField(line, 2, 2);
        const unsigned offset = HexField(line, 4, 4);
        // NoBoot leaves out the upper half of every 64 KB offset range. The test is on the
        // record's own offset, whatever the segment base.
        if (NoBoot && offset > 0x7FFF)
            continue;
        // At most 0xFFFF0 + 0xFFFF + 255: the image stays bounded whatever the file holds.
        const qsizetype start = segmentBase + offset;
        const qsizetype end = start + count;
        if (end > image.size())
            image.resize(end, '\xFF');
        char* out = image.data() + start;
        for (unsigned i = 0; i < count; ++i) {
            // Pairs past the end of a short line read as 0.
            out[i] = static_cast<char>(HexField(line, 10 + 2 * i, 2));
        }
    }
    if (reader.Failed())
        return fail(QStringLiteral("The firmware file %1 cannot be read: %2")
                        .arg(name, file.errorString()));
    if (moreChecksumErrors > 0)
        show(QStringLiteral("\u2026 and %1 more lines with checksum errors")
                 .arg(moreChecksumErrors));
    if (moreUnsupportedTypes > 0)
        show(QStringLiteral("\u2026 and %1 more lines with unsupported record types")
                 .arg(moreUnsupportedTypes));

    result.ok = true;
    result.image = std::move(image);
    return result;
}

QString CheckSum(const QByteArray& Lijn) {
    const std::optional<std::uint8_t> sum = LineSum(Lijn);
    if (!sum)
        return QString();
    return QStringLiteral("%1").arg(*sum, 2, 16, QLatin1Char('0')).toUpper();
}

std::optional<std::uint8_t> Hex2IntChecked(const QByteArray& HexString) {
    unsigned value = 0;
    for (const char c : HexString) {
        const int digit = HexDigits[static_cast<std::uint8_t>(c)];
        if (digit < 0)
            return std::nullopt;
        value = value * 16 + static_cast<unsigned>(digit);
        if (value > 255)
            return std::nullopt;
    }
    return static_cast<std::uint8_t>(value);
}

std::uint8_t Hex2Int(const QByteArray& HexString) {
    return Hex2IntChecked(HexString).value_or(0);
}
