#include "readings/ReadingsFormat.h"

#include <QJsonValue>
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

QString ExportNumber(float value) {
    if (std::isnan(value))
        return QStringLiteral("nan");
    if (std::isinf(value))
        return value > 0 ? QStringLiteral("inf") : QStringLiteral("-inf");
    char buffer[32];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
    if (error != std::errc())
        return QStringLiteral("nan");
    return QString::fromLatin1(buffer, static_cast<int>(end - buffer));
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

QString ReadingsCsvLine(const Reading& reading) {
    const ReadingsRow& row = reading.row;
    const bool ok = row.state == ReadingsRow::Received;
    QString line = IsoLocalTime(row.time) + QLatin1Char(',') + CsvCell(reading.serial) +
                   (ok ? QStringLiteral(",ok") : QStringLiteral(",failed"));
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
    object.insert(QStringLiteral("status"), ok ? QStringLiteral("ok") : QStringLiteral("failed"));
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
