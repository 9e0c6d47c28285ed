#pragma once
// One reading as it leaves the tool: a line of CSV or a JSON object. The command-line poll, the
// grid's export, the history export and the MQTT state messages all use these, so a file written
// by one reads the same as a file written by another.
//
// Numbers are written with a decimal point and no units (the units are in the CSV header and
// in the JSON field names), each as the shortest text that reads back as the same
// single-precision value, in plain decimal: 1000000, never 1e+06. Times are ISO 8601 local time
// with the offset
// ("2026-12-07T18:05:03+01:00").

#include "readings/ReadingsTable.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <array>
#include <memory>

struct CapacityNow;

// A reading of one device: the grid's row (raw values, PC time) and the serial number the device
// gave when it identified itself (may be empty).
struct Reading {
    ReadingsRow row;
    QString serial;
    // A received reading that cannot be true: a counter lower than the device's previous one, or
    // a value that is not finite (two programs talking on one line garble the replies). The grid
    // shows it as sent; the history keeps it with this flag; nobody is handed it as values.
    bool implausible = false;
    // The capacity tariff as it stood at this reading (history/LiveCapacity.h), worked out once
    // by the readings fan-out and shared by every sink it hands the reading to. Null for a
    // reading that did not come through a fan-out (one read back from the history).
    std::shared_ptr<const CapacityNow> capacity = nullptr;
};

// Field names in reply order (ReadingsFields), each with its unit as a suffix:
// "import_power_w", "import_high_wh", ..., "gas_m3", "gas_diff_m3", "tariff", "extern1",
// "extern2".
extern const std::array<const char*, ReadingsFieldCount> ReadingsFieldNames;

// The shortest text that reads back as the same float, in plain decimal without an exponent
// ("1000000", "0.00001", "300000000000000000000000000000000000000"); "nan", "inf", "-inf" for
// the rest.
QString ExportNumber(float value);

// A figure computed from the device's values (an average, a forecast, a cost), rounded to the
// digits the device's single-precision numbers hold: 2168.5449999999255 becomes 2168.545, so
// the JSON of such figures carries no noise of the arithmetic. Non-finite values pass unchanged.
double DeviceNumber(double value);

// ms since the epoch as ISO 8601 local time with its UTC offset, to the second.
QString IsoLocalTime(qint64 msSinceEpoch);

// "time,serial,status,import_power_w,...,extern2" (no line end).
QString ReadingsCsvHeader();
// "ok", "failed", or "implausible" for a received reading flagged Reading::implausible.
QString ReadingStatus(const Reading& reading);

// One RFC 4180 record (no line end): the time, the serial, the status, then the fields; a field
// the reply did not cover, and every field of a failed row, is left empty. An implausible
// reading keeps its fields: they are what the device sent.
QString ReadingsCsvLine(const Reading& reading);
// Quotes a CSV cell when it holds a comma, a quote, CR or LF.
QString CsvCell(const QString& text);

// {"time": "...", "serial": "...", "status": "ok", "import_power_w": 200, ...}: the fields the
// reply covered, as numbers (a non-finite value as null).
QJsonObject ReadingJson(const Reading& reading);

// Compact JSON text with every number in plain decimal, its shortest digits (QJsonDocument
// writes 1e+06). Keys in QJsonObject's order, as QJsonDocument writes them.
QByteArray JsonText(const QJsonObject& object);
// JsonText(ReadingJson(reading)): the JSON line of the poll and the MQTT state message.
QByteArray ReadingJsonText(const Reading& reading);
