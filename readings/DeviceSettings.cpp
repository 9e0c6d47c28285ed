#include "readings/DeviceSettings.h"

#include <algorithm>
#include <climits>
#include <cmath>

QByteArray SettingsPayload(int interval, bool nederlandSelected, bool protocol2Selected,
                           bool protocol4Selected, int divider) {
    const int country = nederlandSelected ? 1 : 2;
    const int protocol = protocol2Selected ? 2 : protocol4Selected ? 4 : 5;
    QByteArray payload;
    payload.append(static_cast<char>(interval));
    payload.append(static_cast<char>(country));
    payload.append(static_cast<char>(protocol));
    payload.append(static_cast<char>(divider));
    return payload;
}

namespace {

// The power of ten of a number's first significant digit, plus one: 1 for 5.2, 3 for 123,
// 0 for 0.5, -399 for 1e-400. Only used for numbers outside double range, where it tells an
// underflow (at most 0) from an overflow.
long long DecimalOrder(const QByteArray& number) {
    const qsizetype e = number.indexOf('e');
    const QByteArray mantissa = e < 0 ? number : number.left(e);
    long long exponent = 0;
    if (e >= 0) {
        const QByteArray digits = number.mid(e + 1);
        const bool negative = digits.startsWith('-');
        for (char c : digits)
            if (c >= '0' && c <= '9')
                exponent = std::min(exponent * 10 + (c - '0'), 1000000000LL);
        if (negative)
            exponent = -exponent;
    }
    const qsizetype point = mantissa.contains('.') ? mantissa.indexOf('.') : mantissa.size();
    for (qsizetype i = 0; i < mantissa.size(); ++i)
        if (mantissa[i] >= '1' && mantissa[i] <= '9')
            return exponent + (i < point ? point - i : point - i + 1);
    return LLONG_MIN; // no significant digit: zero
}

} // namespace

double LeadingNumber(const QString& text) {
    const QByteArray latin = text.toLatin1();
    const char* p = latin.constData();
    while (*p == ' ' || *p == '\t')
        ++p;
    QByteArray number;
    if (*p == '+' || *p == '-')
        number.append(*p++);
    const qsizetype signLength = number.size();
    while (*p >= '0' && *p <= '9')
        number.append(*p++);
    if (*p == '.') {
        number.append(*p++);
        while (*p >= '0' && *p <= '9')
            number.append(*p++);
    }
    const bool hasDigits =
        number.size() > signLength && !(number.size() == signLength + 1 && number.endsWith('.'));
    if (!hasDigits)
        return 0;
    if (*p == 'e' || *p == 'E') {
        const char* q = p + 1;
        QByteArray exponent = "e";
        if (*q == '+' || *q == '-')
            exponent.append(*q++);
        if (*q >= '0' && *q <= '9') {
            while (*q >= '0' && *q <= '9')
                exponent.append(*q++);
            number.append(exponent);
        }
    }
    bool ok = false;
    const double value = number.toDouble(&ok);
    if (ok)
        return value;
    // Out of double range: too small a magnitude (an underflow) reads as 0, too large as an
    // infinity of the number's sign.
    return DecimalOrder(number) <= 0 ? 0.0 : number.startsWith('-') ? -HUGE_VAL : HUGE_VAL;
}

int RoundHalfEven(double value) {
    if (std::isnan(value))
        return 0;
    if (value >= static_cast<double>(INT_MAX))
        return INT_MAX;
    if (value <= static_cast<double>(INT_MIN))
        return INT_MIN;
    const double floor = std::floor(value);
    const double fraction = value - floor;
    double rounded = floor;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(floor, 2.0) != 0.0))
        rounded = floor + 1;
    return static_cast<int>(rounded);
}
