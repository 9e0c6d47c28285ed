// The capacity tariff from the history: a month's quarter-hour peak and a day's quarter-hours,
// computed as `kdr31-cli peak` and the chart's quarter-hour tab compute them.

#include "http/HttpRoutes.h"

#include "history/HistoryExport.h"

#include <QDateTime>
#include <QJsonArray>
#include <QTimeZone>

namespace {

MHD_Result Unreadable(HttpShared& server, HttpRequest& request, const QString& reason) {
    server.HistoryUnreadable(reason);
    return SendError(request.connection, MHD_HTTP_SERVICE_UNAVAILABLE,
                     QStringLiteral("the history cannot be read"));
}

} // namespace

MHD_Result ServePeak(HttpShared& server, HttpRequest& request) {
    const QDateTime now = QDateTime::currentDateTime();
    const QDate month = request.args.Date("month").value_or(now.date());
    QString error;
    const auto report =
        MonthlyPeakReport(server.options.databasePath, month.year(), month.month(),
                          request.args.Text("serial"), now.toMSecsSinceEpoch(), &error);
    if (!report)
        return Unreadable(server, request, error);
    return SendJson(request.connection, MHD_HTTP_OK, PeakReportJson(*report));
}

MHD_Result ServeQuarterHours(HttpShared& server, HttpRequest& request) {
    const QDate date = request.args.Date("date").value_or(QDate::currentDate());
    const QTimeZone zone = QTimeZone::systemTimeZone();
    const qint64 from = date.startOfDay(zone).toMSecsSinceEpoch();
    const qint64 to = date.addDays(1).startOfDay(zone).toMSecsSinceEpoch();
    QString error;
    const auto samples = ImportCounter(server.options.databasePath, from - DefaultMaxGapMs,
                                       to + DefaultMaxGapMs, request.args.Text("serial"), &error);
    if (!samples)
        return Unreadable(server, request, error);
    QJsonArray quarters;
    for (const QuarterHour& q : QuarterHours(*samples, from, to, zone)) {
        QJsonObject json = QuarterHourJson(q);
        if (!q.complete)
            json.insert(QStringLiteral("average_power_w"), QJsonValue(QJsonValue::Null));
        quarters.append(json);
    }
    return SendJson(request.connection, MHD_HTTP_OK,
                    {{QStringLiteral("date"), date.toString(Qt::ISODate)},
                     {QStringLiteral("quarter_hours"), quarters}});
}
