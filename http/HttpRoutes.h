#pragma once
// Every endpoint of the HTTP side, declared once in a table: its path, its method, the query
// parameters it takes with their types and bounds, and its handler. The server answers 404, 405
// with Allow, unknown, repeated or malformed parameters and HEAD from the table alone, so a
// handler sees only requests it takes, with values already within their bounds.
//
// A new endpoint is one row in HttpRoutes() (HttpRoutes.cpp) and one handler in a file of its
// own, declared below.

#include "http/HttpAnswer.h"
#include "http/HttpShared.h"

#include <QDate>
#include <map>
#include <optional>
#include <vector>

enum class ParamKind {
    Text,        // at most `max` characters
    Choice,      // one of `choices`, split by '|'
    Whole,       // digits only, a whole number from `min` to `max`
    PeriodStart, // a history time (ParseHistoryTime); a date alone is its midnight
    PeriodEnd,   // the same; a date alone is the midnight that ends it
    Month,       // YYYY-MM, 1970 on
    Day,         // YYYY-MM-DD
};

struct ParamRule {
    const char* name;
    ParamKind kind;
    const char* refusal; // the answer to a value of the wrong kind or out of bounds
    qint64 min = 0;
    qint64 max = 0;
    const char* choices = nullptr;
    const char* missing = nullptr; // given: the parameter is required, and this the answer
};

// The query of a request, each value as its rule converted it.
struct HttpArguments {
    struct Value {
        QString text;
        qint64 number = 0; // Whole: the number; PeriodStart and PeriodEnd: UTC ms
        QDate date;        // Month: its first day; Day: the day
    };
    std::map<QByteArray, Value> values;

    bool Has(const char* name) const { return values.count(name) > 0; }
    std::optional<QString> Text(const char* name) const;
    std::optional<qint64> Number(const char* name) const;
    std::optional<QDate> Date(const char* name) const;
};

struct HttpRequest {
    MHD_Connection* connection = nullptr;
    QByteArray path;
    bool head = false;
    QByteArray clientAddress; // the client's IP address, 4 or 16 bytes (behind a proxy: X-Real-IP)
    QByteArray body;
    HttpArguments args;
    HttpSlot historySlot; // for a route that reads the history
};

using RouteHandler = MHD_Result (*)(HttpShared& server, HttpRequest& request);

enum class RouteMethod {
    Get, // and HEAD
    Put,
    Post,
};

struct Route {
    const char* path;
    RouteMethod method;
    std::vector<ParamRule> params;
    RouteHandler handler;
    // 503 when the poller keeps no history, or options.maxHistoryReaders are reading already.
    bool readsHistory = false;
};

const std::vector<Route>& HttpRoutes();

// The query checked against the route's rules; false, with the refusal, for a parameter it
// does not know, one given twice, a value it does not take or a required one missing.
bool ReadArguments(MHD_Connection* connection, const Route& route, HttpArguments& arguments,
                   QString& refusal);

// The handlers, by concern.
// PageRoutes.cpp: the page and its files.
MHD_Result ServePageFile(HttpShared& server, HttpRequest& request);
// LiveRoutes.cpp: the device, the newest reading and the quarter-hour now.
MHD_Result ServeDevice(HttpShared& server, HttpRequest& request);
MHD_Result ServeLatestReading(HttpShared& server, HttpRequest& request);
MHD_Result ServeQuarterHourNow(HttpShared& server, HttpRequest& request);
// HistoryRoute.cpp: the readings of a period, streamed from the history.
MHD_Result ServeHistory(HttpShared& server, HttpRequest& request);
// QuarterHourRoutes.cpp: a month's peak and a day's quarter-hours, from the history.
MHD_Result ServePeak(HttpShared& server, HttpRequest& request);
MHD_Result ServeQuarterHours(HttpShared& server, HttpRequest& request);
// EventsRoute.cpp: each reading as it is taken.
MHD_Result ServeEvents(HttpShared& server, HttpRequest& request);
// SettingsRoute.cpp: the device's settings, with the token.
MHD_Result ServeSettings(HttpShared& server, HttpRequest& request);
// MetricsRoute.cpp: Prometheus.
MHD_Result ServeMetrics(HttpShared& server, HttpRequest& request);
// CapacityRoute.cpp: the capacity tariff at the newest reading.
MHD_Result ServeCapacity(HttpShared& server, HttpRequest& request);
// EnergyRoute.cpp: energy per day, from the history's day totals.
MHD_Result ServeEnergyDays(HttpShared& server, HttpRequest& request);
// FirmwareRoutes.cpp: the firmware check and upgrades, the latter with the token.
MHD_Result ServeFirmware(HttpShared& server, HttpRequest& request);
MHD_Result ServeFirmwareUpgrade(HttpShared& server, HttpRequest& request);
