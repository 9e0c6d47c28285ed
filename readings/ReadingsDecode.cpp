#include "readings/ReadingsDecode.h"

#include <charconv>
#include <cmath>
#include <cstring>

QByteArray ReverseMid(const QByteArray& text, int start, int count) {
    QByteArray reversed;
    for (int i = count; i >= 1; --i) {
        const int index = start + i - 2; // 0-based index of position start + i - 1
        if (index >= 0 && index < text.size())
            reversed.append(text.at(index));
    }
    return reversed;
}

QString NumberText(float value, QChar decimalPoint) {
    if (std::isnan(value))
        return QStringLiteral("NaN");
    if (std::isinf(value))
        return value > 0 ? QStringLiteral("Inf") : QStringLiteral("-Inf");
    if (value == 0.0f)
        return QStringLiteral("0"); // also for -0
    char buffer[32];
    const auto [end, error] = std::to_chars(
        buffer, buffer + sizeof buffer, static_cast<double>(value), std::chars_format::general, 7);
    if (error != std::errc())
        return QStringLiteral("NaN");
    QString text = QString::fromLatin1(buffer, static_cast<int>(end - buffer));
    text.replace(QLatin1Char('e'), QLatin1Char('E'));
    text.replace(QLatin1Char('.'), decimalPoint);
    return text;
}

const std::array<ReadingsField, ReadingsFieldCount> ReadingsFields = {{
    {0, 3, " W"},
    {4, 4, " Wh"},
    {8, 5, " Wh"},
    {12, 6, " Wh"},
    {16, 8, " W"},
    {20, 9, " Wh"},
    {24, 10, " Wh"},
    {28, 11, " Wh"},
    {32, 15, " m\u00b3"},
    {36, 16, " m\u00b3"},
    {40, 13, ""},
    {44, 18, ""},
    {48, 19, ""},
}};

float FieldValue(const QByteArray& result, int position) {
    // The device sends most significant byte first; reversing gives the machine's order.
    const QByteArray bytes = ReverseMid(result, position, 4);
    float value = 0;
    if (bytes.size() == 4)
        std::memcpy(&value, bytes.constData(), 4);
    return value;
}

int FieldsCovered(int resultLength) {
    // The result is 0, the data, the end marker (and whatever came in the same read); the end
    // marker is not data.
    const int dataBytes = resultLength - 2;
    if (dataBytes <= 0)
        return 0;
    return std::min(ReadingsFieldCount, dataBytes / 4);
}

QString TariffText(float tariff, bool nederlandSelected, bool belgieSelected) {
    const bool low = tariff == 1.0f ? nederlandSelected : belgieSelected;
    return low ? QStringLiteral("Low") : QStringLiteral("High");
}

QString TimeFormatWithSeconds(const QLocale& locale) {
    const QString format = locale.timeFormat(QLocale::LongFormat);
    // Drop the zone letters (t) outside quoted text, then the blanks they leave behind.
    QString kept;
    bool quoted = false;
    for (const QChar c : format) {
        if (c == QLatin1Char('\''))
            quoted = !quoted;
        if (!quoted && c == QLatin1Char('t'))
            continue;
        kept.append(c);
    }
    return kept.simplified();
}
