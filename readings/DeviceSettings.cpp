#include "readings/DeviceSettings.h"

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
    // Out of double range: only the sign is left to tell.
    return number.startsWith('-') ? -HUGE_VAL : HUGE_VAL;
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
