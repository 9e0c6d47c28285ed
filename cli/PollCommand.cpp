#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/DeviceLoop.h"
#include "cli/Interrupts.h"
#include "cli/Session.h"
#include "device/Kdr31Device.h"
#include "device_link/MSComm.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QStringList>

namespace {

struct TextColumn {
    const char* label; // written before the cell; empty for none
    int column;        // grid column
};

// The grid's columns in the order the line shows them.
constexpr TextColumn TextColumns[] = {
    {"import", 3}, {"high", 4},     {"low", 5},      {"diff", 6},    {"export", 8},
    {"high", 9},   {"low", 10},     {"diff", 11},    {"tariff", 13}, {"gas", 15},
    {"diff", 16},  {"extern1", 18}, {"extern2", 19},
};

QString TextLine(const Reading& reading) {
    // A table of one row gives the cells exactly as the grid shows them: units, the user's
    // decimal separator, the tariff rule, "???" for a failed reading.
    ReadingsTable table;
    table.AppendRow(reading.row);
    QStringList parts{QDateTime::fromMSecsSinceEpoch(reading.row.time)
                          .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))};
    if (reading.row.state != ReadingsRow::Received)
        return parts.first() + QStringLiteral("  ") + table.TextMatrix(1, 3);
    for (const TextColumn& c : TextColumns) {
        const QString cell = table.TextMatrix(1, c.column);
        if (!cell.isEmpty())
            parts << QLatin1String(c.label) + QLatin1Char(' ') + cell;
    }
    return parts.join(QStringLiteral("  "));
}

} // namespace

QString ReadingLine(const Reading& reading, PollFormat format) {
    switch (format) {
    case PollFormat::Text:
        return TextLine(reading);
    case PollFormat::Csv:
        return ReadingsCsvLine(reading);
    case PollFormat::Json:
        return QString::fromUtf8(
            QJsonDocument(ReadingJson(reading)).toJson(QJsonDocument::Compact));
    }
    return {};
}

int RunPoll(const CliRequest& request, Interrupts& interrupts,
            const std::vector<ReadingSink*>& sinks) {
    Kdr31Device device;
    if (!ConnectOrExplain(device, request.port))
        return ExitFailure;
    if (request.format == PollFormat::Csv && !PrintLine(ReadingsCsvHeader()))
        return ExitFailure;

    qint64 written = 0;
    DeviceLoop loop(device, request.port, interrupts);
    // The device's refresh interval as it reports it, so a device set to a short interval (a
    // test setup) is polled that fast; a transaction lasts 0.3 s, and ticks that fall in one
    // are skipped.
    const auto interval = [&device] { return qMax(0, device.Identity().interval) * 1000; };
    const auto step = [&]() {
        const DeviceIdentity& identity = device.Identity();
        Reading reading{device.ReadReadings(identity.Nederland(), !identity.Nederland()),
                        identity.serialNumber};
        if (!device.Port().PortOpen())
            return DeviceLoop::Step::PortLost;
        if (!PrintLine(ReadingLine(reading, request.format))) {
            PrintError(QStringLiteral("cannot write the readings to standard output"));
            return DeviceLoop::Step::Failed;
        }
        for (ReadingSink* sink : sinks)
            sink->Take(reading);
        ++written;
        return request.count > 0 && written >= request.count ? DeviceLoop::Step::Done
                                                             : DeviceLoop::Step::Continue;
    };
    const int exitCode = loop.Run(interval, step);
    device.Disconnect();
    return exitCode;
}
