#include "readings/ReadingsFormat.h"

#include <QJsonArray>
#include <QJsonValue>
#include <algorithm>
#include <charconv>
#include <cmath>

const std::array<const char*, ReadingsFieldCount> ReadingsFieldNames = {{
    "import_power_w",
    "import_high_wh",
    "import_low_wh",
    "import_diff_wh",
    "export_power_w",
    "export_high_wh",
    "export_low_wh",
    "export_diff_wh",
    "gas_m3",
    "gas_diff_m3",
    "tariff",
    "extern1",
    "extern2",
}};

namespace {

// "-1.2345e+07" (std::to_chars, scientific, shortest) as "-12345000": the same digits, the
// decimal point moved, zeros filled in. Readers of the CSV and the JSON (spreadsheets, Home
// Assistant's templates, jq) take plain decimal as it is, and a counter reads as a counter.
QString PlainDecimal(const char* text, const char* end) {
    QByteArray sign;
    if (*text == '-') {
        sign = "-";
        ++text;
    }
    const char* e = std::find(text, end, 'e');
    QByteArray digits;
    for (const char* c = text; c != e; ++c)
        if (*c != '.')
            digits += *c;
    int exponent = 0;
    if (e != end)
        std::from_chars(e + 1 + (e[1] == '+'), end, exponent);
    // The point goes after the first digit plus the exponent.
    const int point = 1 + exponent;
    QByteArray plain;
    if (point <= 0)
        plain = "0." + QByteArray(-point, '0') + digits;
    else if (point >= digits.size())
        plain = digits + QByteArray(point - int(digits.size()), '0');
    else
        plain = digits.left(point) + '.' + digits.mid(point);
    return QString::fromLatin1(sign + plain);
}

template <typename T> QString PlainNumber(T value) {
    if (std::isnan(value))
        return QStringLiteral("nan");
    if (std::isinf(value))
        return value > 0 ? QStringLiteral("inf") : QStringLiteral("-inf");
    char buffer[64];
    const auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    if (error != std::errc())
        return QStringLiteral("nan");
    return PlainDecimal(buffer, end);
}

void AppendJsonString(QByteArray& out, const QString& text) {
    out += '"';
    for (const char c : text.toUtf8()) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20)
                out += "\\u00" +
                       QByteArray::number(static_cast<unsigned char>(c), 16).rightJustified(2, '0');
            else
                out += c;
        }
    }
    out += '"';
}

void AppendJson(QByteArray& out, const QJsonValue& value) {
    switch (value.type()) {
    case QJsonValue::Bool:
        out += value.toBool() ? "true" : "false";
        break;
    case QJsonValue::Double: {
        const double number = value.toDouble();
        out += std::isfinite(number) ? PlainNumber(number).toLatin1() : QByteArray("null");
        break;
    }
    case QJsonValue::String:
        AppendJsonString(out, value.toString());
        break;
    case QJsonValue::Array: {
        out += '[';
        const QJsonArray array = value.toArray();
        for (qsizetype i = 0; i < array.size(); ++i) {
            if (i > 0)
                out += ',';
            AppendJson(out, array.at(i));
        }
        out += ']';
        break;
    }
    case QJsonValue::Object: {
        out += '{';
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it) {
            if (it != object.begin())
                out += ',';
            AppendJsonString(out, it.key());
            out += ':';
            AppendJson(out, it.value());
        }
        out += '}';
        break;
    }
    default:
        out += "null";
    }
}

} // namespace

QString ExportNumber(float value) {
    return PlainNumber(value);
}

double DeviceNumber(double value) {
    if (!std::isfinite(value))
        return value;
    return ExportNumber(float(value)).toDouble();
}

QByteArray JsonText(const QJsonObject& object) {
    QByteArray out;
    AppendJson(out, object);
    return out;
}

QByteArray ReadingJsonText(const Reading& reading) {
    return JsonText(ReadingJson(reading));
}

QString IsoLocalTime(qint64 msSinceEpoch) {
    QDateTime local = QDateTime::fromMSecsSinceEpoch(msSinceEpoch);
    // A fixed offset prints as "+01:00"; local time alone would print no zone at all.
    local.setOffsetFromUtc(local.offsetFromUtc());
    return local.toString(Qt::ISODate);
}

QString ReadingsCsvHeader() {
    QString header = QStringLiteral("time,serial,status");
    for (const char* name : ReadingsFieldNames)
        header += QLatin1Char(',') + QLatin1String(name);
    return header;
}

QString CsvCell(const QString& text) {
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\r')) && !text.contains(QLatin1Char('\n')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString ReadingStatus(const Reading& reading) {
    if (reading.row.state != ReadingsRow::Received)
        return QStringLiteral("failed");
    return reading.implausible ? QStringLiteral("implausible") : QStringLiteral("ok");
}

QString ReadingsCsvLine(const Reading& reading) {
    const ReadingsRow& row = reading.row;
    const bool ok = row.state == ReadingsRow::Received;
    QString line = IsoLocalTime(row.time) + QLatin1Char(',') + CsvCell(reading.serial) +
                   QLatin1Char(',') + ReadingStatus(reading);
    for (int i = 0; i < ReadingsFieldCount; ++i) {
        line += QLatin1Char(',');
        if (ok && (row.present & (1u << i)))
            line += ExportNumber(row.fields[static_cast<size_t>(i)]);
    }
    return line;
}

QJsonObject ReadingJson(const Reading& reading) {
    const ReadingsRow& row = reading.row;
    const bool ok = row.state == ReadingsRow::Received;
    QJsonObject object;
    object.insert(QStringLiteral("time"), IsoLocalTime(row.time));
    object.insert(QStringLiteral("serial"), reading.serial);
    object.insert(QStringLiteral("status"), ReadingStatus(reading));
    if (!ok)
        return object;
    for (int i = 0; i < ReadingsFieldCount; ++i) {
        if (!(row.present & (1u << i)))
            continue;
        const float value = row.fields[static_cast<size_t>(i)];
        // The float's own shortest text, so 0.1f reads 0.1 and not 0.10000000149.
        object.insert(QLatin1String(ReadingsFieldNames[static_cast<size_t>(i)]),
                      std::isfinite(value) ? QJsonValue(ExportNumber(value).toDouble())
                                           : QJsonValue(QJsonValue::Null));
    }
    return object;
}
