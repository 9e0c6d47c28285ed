// What the poll handed over last: the device, the newest reading and the quarter-hour now.

#include "http/HttpRoutes.h"

#include <QDateTime>
#include <QJsonDocument>

namespace {

QString CountryText(int country) {
    return country == 1 ? QStringLiteral("nl") : QStringLiteral("be");
}

} // namespace

MHD_Result ServeDevice(HttpShared& server, HttpRequest& request) {
    std::lock_guard<std::mutex> lock(server.mutex);
    QJsonObject json{{QStringLiteral("connected"), server.connected},
                     {QStringLiteral("port"), server.portText}};
    if (server.haveDevice) {
        const DeviceIdentity& identity = server.identity;
        json.insert(QStringLiteral("firmware"), VersionText(identity.version));
        json.insert(QStringLiteral("serial"), identity.serialNumber);
        json.insert(QStringLiteral("settings"),
                    QJsonObject{{QStringLiteral("interval"), identity.interval},
                                {QStringLiteral("country"), CountryText(identity.country)},
                                {QStringLiteral("protocol"), identity.ProtocolIndex()},
                                {QStringLiteral("divider"), identity.divider}});
    }
    return SendJson(request.connection, MHD_HTTP_OK, json);
}

MHD_Result ServeLatestReading(HttpShared& server, HttpRequest& request) {
    std::unique_lock<std::mutex> lock(server.mutex);
    if (!server.latest)
        return SendError(request.connection, MHD_HTTP_SERVICE_UNAVAILABLE,
                         QStringLiteral("no reading yet"), {{"Retry-After", "5"}});
    const Reading reading = *server.latest;
    const qint64 ageMs = HttpShared::SteadyMs() - server.latestSteady;
    lock.unlock();
    QJsonObject json = QJsonDocument::fromJson(StateMessage(reading)).object();
    json.insert(QStringLiteral("age_s"), double(ageMs) / 1000.0);
    return SendJson(request.connection, MHD_HTTP_OK, json);
}

MHD_Result ServeQuarterHourNow(HttpShared& server, HttpRequest& request) {
    std::unique_lock<std::mutex> lock(server.mutex);
    const QJsonObject json = server.QuarterJson(QDateTime::currentMSecsSinceEpoch());
    lock.unlock();
    return SendJson(request.connection, MHD_HTTP_OK, json);
}
