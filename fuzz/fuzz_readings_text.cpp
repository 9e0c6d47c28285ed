// Any 52 bytes as the readings of the device, NaN and infinities included: every field decodes
// to a sane cell text.

#include "readings/ReadingsDecode.h"

#include <QRegularExpression>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    static const QRegularExpression number(
        QStringLiteral("^(-?[0-9]+([.,][0-9]+)?(E[+-][0-9]{2,3})?|NaN|-?Inf)$"));
    if (size < 1)
        return 0;
    const QChar decimalPoint = (data[0] & 1) ? QLatin1Char(',') : QLatin1Char('.');
    const QByteArray result =
        QByteArray(1, 0) +
        QByteArray(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1)) + "#";
    const int covered = FieldsCovered(static_cast<int>(result.size()));
    if (covered < 0 || covered > ReadingsFieldCount || 1 + covered * 4 + 1 > result.size())
        std::abort();
    for (int i = 0; i < covered; ++i) {
        const float value = FieldValue(result, ReadingsFields[static_cast<size_t>(i)].offset + 2);
        const QString text = NumberText(value, decimalPoint);
        // At most: sign, 7 digits, separator, "E", sign, 2 or 3 exponent digits.
        if (text.size() > 15 || !number.match(text).hasMatch())
            std::abort();
        const QString tariff = TariffText(value, data[0] & 2, data[0] & 4);
        if (tariff != QLatin1String("Low") && tariff != QLatin1String("High"))
            std::abort();
    }
    const QByteArray reversed = ReverseMid(result, static_cast<int>(data[0]) - 64, 6);
    if (reversed.size() > 6)
        std::abort();
    return 0;
}
