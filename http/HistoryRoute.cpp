// The readings of a period, streamed from the history as they are read: a month of 5-second
// readings is half a million rows, which no answer holds in memory at once.

#include "http/HttpRoutes.h"

#include "history/HistoryExport.h"
#include "history/HistoryStore.h"

namespace {

constexpr qint64 MaxPeriodMs = 31LL * 24 * 3600 * 1000;
// Rows read from the history per piece of a streamed answer: a few hundred kB of text at most.
constexpr int RowsPerPiece = 500;

} // namespace

MHD_Result ServeHistory(HttpShared& server, HttpRequest& request) {
    const qint64 from = *request.args.Number("from");
    const qint64 to = *request.args.Number("to");
    const auto refuse = [&](const QString& text) {
        return SendError(request.connection, MHD_HTTP_BAD_REQUEST, text);
    };
    if (to <= from)
        return refuse(QStringLiteral("to must come after from"));
    if (to - from > MaxPeriodMs)
        return refuse(QStringLiteral("one answer covers 31 days at most"));
    const bool csv = request.args.Text("format") == QStringLiteral("csv");
    const std::optional<QString> serial = request.args.Text("serial");
    // every=S: one reading per S seconds (the first of each), for charts of long periods.
    const qint64 everyMs = request.args.Number("every").value_or(0) * 1000;

    auto store = std::make_shared<HistoryStore>();
    if (!store->Open(server.options.databasePath, true)) {
        server.HistoryUnreadable(store->ErrorText());
        return SendError(request.connection, MHD_HTTP_SERVICE_UNAVAILABLE,
                         QStringLiteral("the history cannot be read"));
    }
    auto stream = std::make_unique<HttpStream>();
    struct Position {
        qint64 from;
        int sameTime = 0; // rows at `from` already sent
        bool started = false;
        bool any = false;
        qint64 nextKeep = 0; // with every: the first time of the next bucket
    };
    auto position = std::make_shared<Position>(Position{from});
    stream->fill = [store, position, end = to, serial, csv, everyMs](QByteArray& out) {
        Position& p = *position;
        if (!p.started) {
            p.started = true;
            out += csv ? ReadingsCsvHeader().toUtf8() + "\r\n" : QByteArray("[");
            return true;
        }
        int rows = 0;
        int skip = p.sameTime;
        qint64 last = p.from;
        int lastCount = p.sameTime;
        const bool ok = store->ForEach(p.from, end, serial, [&](const Reading& reading) {
            if (reading.row.time == p.from && skip > 0) {
                --skip;
                return true;
            }
            lastCount = reading.row.time == last ? lastCount + 1 : 1;
            last = reading.row.time;
            if (reading.row.time >= p.nextKeep) {
                if (everyMs > 0)
                    p.nextKeep = reading.row.time - reading.row.time % everyMs + everyMs;
                if (csv) {
                    out += ReadingsCsvLine(reading).toUtf8() + "\r\n";
                } else {
                    out += p.any ? ",\n" : "\n";
                    out += ReadingJsonText(reading);
                }
                p.any = true;
            }
            return ++rows < RowsPerPiece;
        });
        p.from = last;
        p.sameTime = lastCount;
        if (ok && rows == RowsPerPiece)
            return true;
        // The end, or the history failed half way: the answer has begun with 200, so a JSON
        // answer ends unclosed and a client's parser says so.
        if (ok && !csv)
            out += "\n]\n";
        return false;
    };
    stream->slot = request.historySlot;
    return SendStream(
        request.connection, request.head, std::move(stream),
        csv ? "text/csv; charset=utf-8" : "application/json",
        {{"Content-Disposition", csv ? "attachment; filename=\"kdr31-readings.csv\"" : "inline"}});
}
