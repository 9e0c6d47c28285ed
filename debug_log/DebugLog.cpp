#include "debug_log/DebugLog.h"

#include "device_link/ReplyParser.h"
#include "readings/ReadingsDecode.h"

#include <QDir>
#include <QSaveFile>

namespace {

constexpr char CarriageReturn = '\r';
constexpr char LineFeed = '\n';
constexpr char Tab = '\t';
constexpr char16_t ControlPictures = 0x2400; // U+2400 SYMBOL FOR NULL, then one per C0 byte
constexpr char16_t SymbolForDelete = 0x2421;

// Device status codes that come as the only data byte of a debug log reply.
QString StatusText(std::uint8_t status) {
    switch (status) {
    case 1:
        return QStringLiteral("P1 busy. Please retry");
    case 2:
        return QStringLiteral("Buffer (1200bytes) overflow");
    case 3:
        return QStringLiteral("P1 not connected or protocol not set correctly");
    default:
        return {};
    }
}

} // namespace

QString DebugLog::Append(const QByteArray& bytes) {
    const bool afterCarriageReturn = bytes_.endsWith(CarriageReturn);
    bytes_.append(bytes);
    return DebugLogDisplayText(bytes, afterCarriageReturn);
}

QString DebugLog::DisplayText() const {
    return DebugLogDisplayText(bytes_);
}

QString DebugLogDisplayText(const QByteArray& bytes, bool afterCarriageReturn) {
    QString text;
    text.reserve(bytes.size());
    bool previousWasCr = afterCarriageReturn;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == LineFeed) {
            if (!previousWasCr)
                text.append(QLatin1Char('\n'));
        } else if (c == CarriageReturn) {
            text.append(QLatin1Char('\n'));
        } else if (byte < 0x20 && c != Tab) {
            text.append(QChar(char16_t(ControlPictures + byte)));
        } else if (byte == 0x7F) {
            text.append(QChar(SymbolForDelete));
        } else {
            text.append(QChar(char16_t(byte))); // Latin-1: the character code is the byte
        }
        previousWasCr = c == CarriageReturn;
    }
    return text;
}

DebugLogReadOutcome InterpretDebugLogResult(const QByteArray& result) {
    if (result.isEmpty())
        return {};
    switch (static_cast<std::uint8_t>(result.at(0))) {
    case ReplyOk:
        // A single data byte is the device's status, never log text.
        if (result.size() == 2)
            return {{}, StatusText(static_cast<std::uint8_t>(result.at(1)))};
        return {result.mid(1), {}};
    case ReplyLengthOverflow:
        return {{}, QStringLiteral("RX Length Overflow")};
    case ReplyWrongEnd:
        return {{}, QStringLiteral("Wrong end character received")};
    case ReplyTimedOut:
        return {{}, QStringLiteral("RX timed out")};
    default:
        return {};
    }
}

QString DebugLogDefaultName(const QString& caption, const QString& dateText,
                            const QString& timeText) {
    QString name = caption + QStringLiteral("-debuglog-") + dateText + QLatin1Char('-') + timeText +
                   QStringLiteral(".txt");
    name.remove(QLatin1Char('/'));
    name.remove(QLatin1Char(':'));
    return name;
}

QString DebugLogDefaultName(const QString& caption, const QDateTime& when, const QLocale& locale) {
    return DebugLogDefaultName(
        caption, locale.toString(when.date(), locale.dateFormat(QLocale::ShortFormat)),
        locale.toString(when.time(), TimeFormatWithSeconds(locale)));
}

std::optional<QString> WriteDebugLogFile(const QString& path, const QByteArray& log) {
    // The new content goes to a temporary file that replaces the old one only when it was
    // written whole. Where no temporary file can be made beside it (a directory the user may not
    // create files in), saving fails: rewriting the file in place would empty it first and lose
    // it on any failure after that.
    QSaveFile file(path);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    if (file.write(log) != log.size() || file.write("\r\n", 2) != 2) {
        const QString reason = file.errorString();
        file.cancelWriting();
        return reason;
    }
    if (!file.commit())
        return file.errorString();
    return std::nullopt;
}

QString DebugLogSaveFailedText(const QString& path, const QString& reason) {
    return QStringLiteral("The debug log could not be saved to %1: %2")
        .arg(QDir::toNativeSeparators(path), reason);
}
