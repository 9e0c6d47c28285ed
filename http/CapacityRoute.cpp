// The capacity tariff as it stands at the newest reading: the quarter-hour now, the threshold,
// the headroom, the peak warning and the twelve months billed, as the readings fan-out worked
// them out for that reading. Nothing is read from the history here: the answer is the figures the
// poll already holds, so it costs the same on a year's history as on a day's.

#include "http/HttpRoutes.h"

MHD_Result ServeCapacity(HttpShared& server, HttpRequest& request) {
    std::unique_lock<std::mutex> lock(server.mutex);
    const std::shared_ptr<const CapacityNow> capacity = server.Capacity();
    lock.unlock();
    if (!capacity)
        return SendError(request.connection, MHD_HTTP_SERVICE_UNAVAILABLE,
                         QStringLiteral("no reading yet"), {{"Retry-After", "5"}});
    return SendJson(request.connection, MHD_HTTP_OK, CapacityJson(*capacity));
}
