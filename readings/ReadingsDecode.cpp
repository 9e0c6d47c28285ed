#include "readings/ReadingsDecode.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

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
    // The result is 0, the data and the end marker; the end marker is not data.
    const int dataBytes = resultLength - 2;
    if (dataBytes <= 0)
        return 0;
    return std::min(ReadingsFieldCount, dataBytes / 4);
}

QString TariffText(float tariff, bool nederlandSelected, bool belgieSelected) {
    const bool low = tariff == 1.0f ? nederlandSelected : belgieSelected;
    return low ? QStringLiteral("Low") : QStringLiteral("High");
}

namespace {

// A time format as characters, each marked as quoted (literal text) or not.
struct FormatChar {
    QChar c;
    bool quoted;
};

std::vector<FormatChar> Marked(const QString& format) {
    std::vector<FormatChar> marked;
    bool quoted = false;
    for (const QChar c : format) {
        if (c == QLatin1Char('\''))
            quoted = !quoted;
        marked.push_back({c, quoted || c == QLatin1Char('\'')});
    }
    return marked;
}

QString Joined(const std::vector<FormatChar>& marked) {
    QString format;
    for (const FormatChar& m : marked)
        format.append(m.c);
    return format.simplified();
}

// True when the format spells words around its numbers ("9 h 05 min 03 s", "9時05分03秒"): too
// wide for the time column.
bool HasWords(const std::vector<FormatChar>& marked) {
    for (const FormatChar& m : marked) {
        if (m.c == QLatin1Char('\''))
            continue;
        if (m.quoted || !QStringLiteral("hHmsAPap:. ").contains(m.c))
            return true;
    }
    return false;
}

} // namespace

QString TimeFormatWithSeconds(const QLocale& locale) {
    std::vector<FormatChar> marked = Marked(locale.timeFormat(QLocale::LongFormat));
    // The zone (t) goes, and with it the brackets, commas and blanks that set it apart:
    // "H:mm:ss (t)" becomes "H:mm:ss", "h:mm:ss AP, t" "h:mm:ss AP".
    auto isZone = [](const FormatChar& m) { return !m.quoted && m.c == QLatin1Char('t'); };
    auto isAround = [](const FormatChar& m) {
        return !m.quoted && QStringLiteral(" ,()[]").contains(m.c);
    };
    for (size_t i = 0; i < marked.size();) {
        if (!isZone(marked[i])) {
            ++i;
            continue;
        }
        size_t first = i;
        size_t last = i;
        while (last + 1 < marked.size() && isZone(marked[last + 1]))
            ++last;
        while (first > 0 && isAround(marked[first - 1]))
            --first;
        while (last + 1 < marked.size() && isAround(marked[last + 1]))
            ++last;
        // Blanks between two remaining parts keep one.
        const bool joinsTwo = first > 0 && last + 1 < marked.size();
        marked.erase(marked.begin() + static_cast<long>(first),
                     marked.begin() + static_cast<long>(last) + 1);
        if (joinsTwo)
            marked.insert(marked.begin() + static_cast<long>(first), {QLatin1Char(' '), false});
        i = first;
    }
    // The flexible day period (B, "in the morning") has no format letter in Qt, which would
    // print the letter itself; the AM/PM marker says the same.
    for (size_t i = 0; i < marked.size(); ++i)
        if (!marked[i].quoted && marked[i].c == QLatin1Char('B')) {
            marked[i].c = QLatin1Char('A');
            marked.insert(marked.begin() + static_cast<long>(i) + 1, {QLatin1Char('P'), false});
        }
    if (!HasWords(marked))
        return Joined(marked);

    // Spelt-out units do not fit the column: the short format with the seconds added after
    // the minutes, with the separator it puts before them, or else hours, minutes and seconds
    // with colons.
    const QString shortFormat = locale.timeFormat(QLocale::ShortFormat);
    const qsizetype minutes = shortFormat.indexOf(QLatin1String("mm"));
    if (!HasWords(Marked(shortFormat)) && minutes > 0 && !shortFormat.contains(QLatin1Char('s'))) {
        const QChar before = shortFormat.at(minutes - 1);
        const QChar separator = before == QLatin1Char('.') ? before : QLatin1Char(':');
        return QString(shortFormat).insert(minutes + 2, QString(separator) + QLatin1String("ss"));
    }
    return QStringLiteral("HH:mm:ss");
}
