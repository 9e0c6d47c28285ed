#include "http/HttpRoutes.h"

#include "history/HistoryExport.h"

#include <QRegularExpression>
#include <algorithm>
#include <charconv>

const std::vector<Route>& HttpRoutes() {
    using K = ParamKind;
    const ParamRule serial{"serial", K::Text, "serial takes a serial number", 0, 64};
    static const std::vector<Route> routes = {
        {"/", RouteMethod::Get, {}, ServePageFile},
        {"/app.js", RouteMethod::Get, {}, ServePageFile},
        {"/style.css", RouteMethod::Get, {}, ServePageFile},
        {"/chart.js", RouteMethod::Get, {}, ServePageFile},
        {"/metrics", RouteMethod::Get, {}, ServeMetrics},
        {"/api/v1/device", RouteMethod::Get, {}, ServeDevice},
        {"/api/v1/readings/latest", RouteMethod::Get, {}, ServeLatestReading},
        {"/api/v1/quarter-hour", RouteMethod::Get, {}, ServeQuarterHourNow},
        {"/api/v1/capacity", RouteMethod::Get, {}, ServeCapacity},
        {"/api/v1/events", RouteMethod::Get, {}, ServeEvents},
        {"/api/v1/readings",
         RouteMethod::Get,
         {{"from", K::PeriodStart,
           "from and to take 2026-01-31, 2026-01-31T18:00 or "
           "2026-01-31T18:00:00%2B01:00",
           0, 0, nullptr, "give the period: from=2026-01-01&to=2026-01-31"},
          {"to", K::PeriodEnd,
           "from and to take 2026-01-31, 2026-01-31T18:00 or "
           "2026-01-31T18:00:00%2B01:00",
           0, 0, nullptr, "give the period: from=2026-01-01&to=2026-01-31"},
          {"format", K::Choice, "format is json or csv", 0, 0, "json|csv"},
          {"every", K::Whole, "every takes seconds, 1 to 86400", 1, 86400},
          serial},
         ServeHistory,
         true},
        {"/api/v1/peak",
         RouteMethod::Get,
         {{"month", K::Month, "month takes a year and a month, like 2026-01"}, serial},
         ServePeak,
         true},
        {"/api/v1/quarter-hours",
         RouteMethod::Get,
         {{"date", K::Day, "date takes a day, like 2026-01-31"}, serial},
         ServeQuarterHours,
         true},
        {"/api/v1/energy/days",
         RouteMethod::Get,
         {{"from", K::Day, "from and to take days, like 2026-12-07", 0, 0, nullptr,
           "give the days: from=2026-11-08&to=2026-12-07"},
          {"to", K::Day, "from and to take days, like 2026-12-07", 0, 0, nullptr,
           "give the days: from=2026-11-08&to=2026-12-07"},
          serial},
         ServeEnergyDays,
         true},
        {"/api/v1/settings", RouteMethod::Put, {}, ServeSettings},
        {"/api/v1/firmware", RouteMethod::Get, {}, ServeFirmware},
        {"/api/v1/firmware/upgrade", RouteMethod::Post, {}, ServeFirmwareUpgrade},
    };
    return routes;
}

namespace {

// The value converted as its rule says; false when it does not take it.
bool Convert(const ParamRule& rule, const QByteArray& raw, HttpArguments::Value& value) {
    value.text = QString::fromUtf8(raw);
    switch (rule.kind) {
    case ParamKind::Text:
        return value.text.size() <= rule.max;
    case ParamKind::Choice:
        return QString::fromLatin1(rule.choices).split(QLatin1Char('|')).contains(value.text);
    case ParamKind::Whole: {
        // Digits only, into a 64-bit number that refuses to overflow, then the bounds: so no
        // arithmetic on the value can leave them.
        const char* end = raw.constData() + raw.size();
        const bool digits = !raw.isEmpty() && std::all_of(raw.begin(), raw.end(), [](char c) {
            return c >= '0' && c <= '9';
        });
        const auto [at, error] = std::from_chars(raw.constData(), end, value.number);
        return digits && error == std::errc() && at == end && value.number >= rule.min &&
               value.number <= rule.max;
    }
    case ParamKind::PeriodStart:
    case ParamKind::PeriodEnd: {
        // Four-digit years at most: any two of these subtract without overflow.
        const std::optional<qint64> time =
            ParseHistoryTime(value.text, rule.kind == ParamKind::PeriodEnd);
        value.number = time.value_or(0);
        return time.has_value();
    }
    case ParamKind::Month: {
        static const QRegularExpression form(QStringLiteral("^(\\d{4})-(\\d{2})$"));
        const QRegularExpressionMatch match = form.match(value.text);
        value.date = match.hasMatch()
                         ? QDate(match.captured(1).toInt(), match.captured(2).toInt(), 1)
                         : QDate();
        return value.date.isValid() && value.date.year() >= 1970;
    }
    case ParamKind::Day: {
        static const QRegularExpression form(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}$"));
        value.date = form.match(value.text).hasMatch() ? QDate::fromString(value.text, Qt::ISODate)
                                                       : QDate();
        return value.date.isValid();
    }
    }
    return false;
}

} // namespace

bool ReadArguments(MHD_Connection* connection, const Route& route, HttpArguments& arguments,
                   QString& refusal) {
    struct Walk {
        const Route& route;
        HttpArguments& arguments;
        QString& refusal;
    } walk{route, arguments, refusal};
    MHD_get_connection_values(
        connection, MHD_GET_ARGUMENT_KIND,
        [](void* cls, MHD_ValueKind, const char* key, const char* value) -> MHD_Result {
            Walk& w = *static_cast<Walk*>(cls);
            const QByteArray name(key);
            const auto rule = std::find_if(w.route.params.begin(), w.route.params.end(),
                                           [&](const ParamRule& r) { return name == r.name; });
            HttpArguments::Value converted;
            if (rule == w.route.params.end())
                w.refusal = QStringLiteral("unknown query parameter \"%1\"")
                                .arg(QString::fromUtf8(name.left(40)));
            else if (w.arguments.values.count(name))
                w.refusal = QStringLiteral("query parameter \"%1\" given twice").arg(rule->name);
            else if (!Convert(*rule, QByteArray(value ? value : ""), converted))
                w.refusal = QLatin1String(rule->refusal);
            else
                w.arguments.values[name] = converted;
            return w.refusal.isEmpty() ? MHD_YES : MHD_NO;
        },
        &walk);
    if (!refusal.isEmpty())
        return false;
    for (const ParamRule& rule : route.params)
        if (rule.missing && !arguments.Has(rule.name)) {
            refusal = QLatin1String(rule.missing);
            return false;
        }
    return true;
}

std::optional<QString> HttpArguments::Text(const char* name) const {
    const auto it = values.find(name);
    return it == values.end() ? std::nullopt : std::optional<QString>(it->second.text);
}

std::optional<qint64> HttpArguments::Number(const char* name) const {
    const auto it = values.find(name);
    return it == values.end() ? std::nullopt : std::optional<qint64>(it->second.number);
}

std::optional<QDate> HttpArguments::Date(const char* name) const {
    const auto it = values.find(name);
    return it == values.end() ? std::nullopt : std::optional<QDate>(it->second.date);
}
