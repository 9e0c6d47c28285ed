// Server-Sent Events: each reading as it is taken, for the page and for scripts; the peak
// warning's starts and ends as they come.

#include "http/HttpRoutes.h"

#include "readings/ReadingsFormat.h"

#include <QDateTime>

namespace {

// An events stream says something this often (and at least twice per idle timeout), so a proxy
// or a phone keeps it open and the idle timeout does not close it.
constexpr auto EventKeepAlive = std::chrono::milliseconds(5000);

} // namespace

MHD_Result ServeEvents(HttpShared& server, HttpRequest& request) {
    QString refusal;
    HttpSlot slot = server.TakeEventSlot(request.clientAddress, refusal);
    if (!slot)
        return SendError(request.connection, MHD_HTTP_SERVICE_UNAVAILABLE, refusal,
                         {{"Retry-After", "5"}});
    auto stream = std::make_unique<HttpStream>();
    quint64 seen = 0;
    quint64 seenUpgrade = 0;
    quint64 capacitySeen = 0;
    {
        std::lock_guard<std::mutex> lock(server.mutex);
        seen = server.sequence;
        seenUpgrade = server.upgradeEventNumber;
        capacitySeen = server.capacitySequence;
    }
    // The stream opens with the newest reading, so a page shows something at once and not
    // only after the next poll (up to a minute away), and with the capacity tariff as it stands,
    // so a warning that is on shows at once too.
    bool first = true;
    const auto keepAlive =
        std::min(EventKeepAlive, std::chrono::milliseconds(server.options.idleTimeoutS * 1000 / 2));
    stream->fill = [&server, seen, seenUpgrade, capacitySeen, first,
                    keepAlive](QByteArray& out) mutable {
        std::unique_lock<std::mutex> lock(server.mutex);
        if (!first)
            server.newReading.wait_for(lock, keepAlive, [&] {
                return server.stopping || server.sequence != seen ||
                       server.upgradeEventNumber != seenUpgrade;
            });
        if (server.stopping)
            return false;
        // The firmware upgrade's events, each of them, in order: at a change of phase and at
        // every further 5 % of its blocks.
        if (server.upgradeEventNumber != seenUpgrade) {
            for (const auto& [number, data] : server.upgradeEvents)
                if (number > seenUpgrade)
                    out += "event: upgrade\ndata: " + data + "\n\n";
            seenUpgrade = server.upgradeEventNumber;
            if (server.sequence == seen && !first)
                return true;
        }
        if ((first || server.sequence != seen) && server.latest) {
            seen = server.sequence;
            const Reading reading = *server.latest;
            const QJsonObject quarter = server.QuarterJson(QDateTime::currentMSecsSinceEpoch());
            // The warning's starts and ends since the last look, in order; at the stream's
            // start, the figures as they stand.
            std::vector<QByteArray> capacity;
            for (const auto& [number, event] : server.capacityEvents)
                if (number > capacitySeen)
                    capacity.push_back(event);
            capacitySeen = server.capacitySequence;
            lock.unlock();
            if (first && reading.capacity)
                capacity = {JsonText(CapacityJson(*reading.capacity))};
            out += "event: reading\ndata: " + StateMessage(reading) + "\n\n";
            out += "event: quarter\ndata: " + JsonText(quarter) + "\n\n";
            for (const QByteArray& event : capacity)
                out += "event: capacity\ndata: " + event + "\n\n";
        } else {
            out += ": waiting\n\n";
        }
        first = false;
        return true;
    };
    stream->slot = std::move(slot);
    return SendStream(request.connection, request.head, std::move(stream), "text/event-stream");
}
