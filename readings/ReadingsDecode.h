#pragma once
// Turning a readings reply into cell texts: the byte order of the fields, the number text, the
// units and the tariff rule.

#include <QByteArray>
#include <QLocale>
#include <QString>
#include <array>

// The count characters of text that begin at the 1-based position start, in reverse order.
// Positions past the end contribute nothing; a count below 1 gives an empty string.
QByteArray ReverseMid(const QByteArray& text, int start, int count);

// A single-precision value as text: general format with at most 7 significant digits, the given
// decimal separator, no trailing zeros; fixed notation for decimal exponents -4 to 6, otherwise
// mantissa, "E", sign and at least two exponent digits. Not-a-number reads "NaN", infinities
// "Inf" and "-Inf".
QString NumberText(float value, QChar decimalPoint = QLatin1Char('.'));

constexpr int ReadingsFieldCount = 13;
constexpr int ReadingsDataBytes = ReadingsFieldCount * 4;

struct ReadingsField {
    int offset; // from the first data byte
    int column; // of the readings grid
    const char* unit;
};

// In the order in which the fields arrive. The tariff comes after the gas fields in the reply
// but stands before them in the grid.
extern const std::array<ReadingsField, ReadingsFieldCount> ReadingsFields;
constexpr int TariffField = 10;

// The big-endian single-precision field that starts at 1-based position in a transaction
// result (0 followed by the data). The caller makes sure that all four bytes are there.
float FieldValue(const QByteArray& result, int position);

// How many of the fields a successful readings result of this length covers completely.
int FieldsCovered(int resultLength);

// Tariff 1 is the low tariff in the Netherlands and the high tariff in Belgium; any other value
// the reverse. With neither country chosen the cell reads "High".
QString TariffText(float tariff, bool nederlandSelected, bool belgieSelected);

// The user's time format with seconds and without a time zone (Qt's long time format minus its
// zone and the brackets and commas around it): 08:52:43 for Dutch, 8:52:43 AM for US English.
// Where the long format spells out its units (French in Belgium: 8 h 52 min 43 s), the short
// format with seconds added, so that the time fits its column.
QString TimeFormatWithSeconds(const QLocale& locale);
