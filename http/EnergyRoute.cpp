// Energy per day from the history's day totals (the sum of each day's quarter-hours), for the
// page's chart of the last 30 days: a few thousand rows of the quarter table, not the half a
// million readings of a month.

#include "http/HttpRoutes.h"

#include "history/EnergyHistory.h"
#include "readings/ReadingsFormat.h"

#include <QJsonArray>

namespace {

// A year and a day: any span a chart asks for, and a bound on the answer's size.
constexpr qint64 MaxDays = 366;

QJsonValue Number(const std::optional<double>& value) {
    return value ? QJsonValue(DeviceNumber(*value)) : QJsonValue(QJsonValue::Null);
}

} // namespace

MHD_Result ServeEnergyDays(HttpShared& server, HttpRequest& request) {
    const QDate first = *request.args.Date("from");
    const QDate last = *request.args.Date("to");
    if (last < first || first.daysTo(last) >= MaxDays)
        return SendError(request.connection, MHD_HTTP_BAD_REQUEST,
                         QStringLiteral("from and to take days in order, 366 at most"));
    QString error;
    const auto days =
        DayTotals(server.options.databasePath, first, last, request.args.Text("serial"), &error);
    if (!days) {
        server.HistoryUnreadable(error);
        return SendError(request.connection, MHD_HTTP_SERVICE_UNAVAILABLE,
                         QStringLiteral("the history cannot be read"));
    }
    QJsonArray list;
    for (const DayEnergy& day : *days)
        list.append(QJsonObject{{QStringLiteral("date"), day.day.toString(Qt::ISODate)},
                                {QStringLiteral("start"), IsoLocalTime(day.start)},
                                {QStringLiteral("end"), IsoLocalTime(day.end)},
                                {QStringLiteral("import_wh"), Number(day.importWh)},
                                {QStringLiteral("export_wh"), Number(day.exportWh)}});
    return SendJson(request.connection, MHD_HTTP_OK, {{QStringLiteral("days"), list}});
}
