// GET /api/v1/firmware: the firmware check and the upgrade in progress or the last one.
// POST /api/v1/firmware/upgrade: the answer Yes to the upgrade's question, with the bearer token;
// the poller installs the firmware server's image, never one sent over the network.

#include "http/HttpRoutes.h"

namespace {

// The poller starts an upgrade right after the reading in progress; the version list and the
// image may take their time on a slow server. Past this the client hears that the upgrade was
// asked for and follows it on GET /api/v1/firmware.
constexpr auto UpgradeAnswerWait = std::chrono::seconds(75);

QJsonObject AnswerJson(bool ok, const QString& answer, const QString& message) {
    return {{QStringLiteral("ok"), ok},
            {QStringLiteral("answer"), answer},
            {QStringLiteral("message"), message}};
}

QString BusyText() {
    return QStringLiteral("an upgrade of this KDR31 is under way already; follow it at GET "
                          "/api/v1/firmware");
}

} // namespace

QJsonObject HttpShared::FirmwareJson() const {
    FirmwareStatus status = firmware.value_or(FirmwareStatus{});
    if (!status.check.installed && haveDevice)
        status.check.installed = identity.version;
    QJsonObject json = FirmwareStatusJson(status);
    json.insert(QStringLiteral("upgrade_over_http"),
                options.allowUpgrade && !options.token.isEmpty() && bool(upgradeHandler));
    return json;
}

MHD_Result ServeFirmware(HttpShared& server, HttpRequest& request) {
    std::unique_lock<std::mutex> lock(server.mutex);
    const QJsonObject json = server.FirmwareJson();
    lock.unlock();
    return SendJson(request.connection, MHD_HTTP_OK, json);
}

MHD_Result ServeFirmwareUpgrade(HttpShared& server, HttpRequest& request) {
    MHD_Connection* connection = request.connection;
    const HttpOptions& options = server.options;
    if (!options.allowUpgrade || options.token.isEmpty())
        return SendError(connection, MHD_HTTP_FORBIDDEN,
                         QStringLiteral("firmware upgrades over HTTP are off: start the poller "
                                        "with --http-allow-upgrade and --http-token-file"));
    if (!BearerTokenMatches(connection, options.token))
        return SendError(connection, MHD_HTTP_UNAUTHORIZED,
                         QStringLiteral("give the token as Authorization: Bearer TOKEN"),
                         {{MHD_HTTP_HEADER_WWW_AUTHENTICATE, "Bearer realm=\"kdr31\""}});
    // Whatever a body would hold (an image, another server), it is not taken.
    if (!request.body.isEmpty() && request.body.trimmed() != "{}")
        return SendError(connection, MHD_HTTP_BAD_REQUEST,
                         QStringLiteral("the upgrade takes no body: the poller installs the "
                                        "firmware server's image and nothing else"));
    if (!server.upgradeHandler)
        return SendError(connection, MHD_HTTP_SERVICE_UNAVAILABLE,
                         QStringLiteral("this poller does not upgrade the firmware"));
    {
        std::lock_guard<std::mutex> lock(server.mutex);
        if (server.upgradeRequestBusy || (server.firmware && server.firmware->UpgradeRunning()))
            return SendJson(connection, MHD_HTTP_CONFLICT,
                            AnswerJson(false, QStringLiteral("busy"), BusyText()));
        server.upgradeRequestBusy = true;
    }
    // The answer comes on the poll thread, maybe after this connection gave up waiting: the
    // shared state outlives both.
    struct Answer {
        std::mutex mutex;
        std::condition_variable ready;
        std::optional<UpgradeAnswer> answer;
    };
    auto shared = std::make_shared<Answer>();
    MarkResponding(connection);
    server.upgradeHandler([shared](const UpgradeAnswer& answer) {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->answer = answer;
        shared->ready.notify_all();
    });
    std::optional<UpgradeAnswer> answer;
    {
        std::unique_lock<std::mutex> lock(shared->mutex);
        const auto giveUp = std::chrono::steady_clock::now() + UpgradeAnswerWait;
        while (!shared->answer && !server.stoppingNow && std::chrono::steady_clock::now() < giveUp)
            shared->ready.wait_for(lock, std::chrono::milliseconds(250));
        answer = shared->answer;
    }
    {
        std::lock_guard<std::mutex> lock(server.mutex);
        server.upgradeRequestBusy = false;
    }
    if (!answer)
        return SendJson(connection, MHD_HTTP_ACCEPTED,
                        AnswerJson(true, QStringLiteral("pending"),
                                   QStringLiteral("the upgrade was asked for and goes on; follow "
                                                  "it at GET /api/v1/firmware")));
    switch (answer->kind) {
    case UpgradeAnswer::Started:
        return SendJson(connection, MHD_HTTP_ACCEPTED,
                        AnswerJson(true, QStringLiteral("started"), answer->text));
    case UpgradeAnswer::Unchanged: {
        QJsonObject json = AnswerJson(true, QStringLiteral("unchanged"), answer->text);
        json.insert(QStringLiteral("unchanged"), true);
        return SendJson(connection, MHD_HTTP_OK, json);
    }
    case UpgradeAnswer::Busy:
        return SendJson(connection, MHD_HTTP_CONFLICT,
                        AnswerJson(false, QStringLiteral("busy"), BusyText()));
    case UpgradeAnswer::Refused:
    case UpgradeAnswer::Pending:
        break;
    }
    // Nothing was sent to the device. Without it, or while the poller stops, there is no one to
    // upgrade; otherwise the firmware server's side failed (the download, the image).
    QJsonObject json = AnswerJson(false, QStringLiteral("refused"), answer->text);
    json.insert(QStringLiteral("outcome"), answer->outcome);
    const bool unavailable = answer->outcome == QLatin1String("no_device") ||
                             answer->outcome == QLatin1String("aborted");
    return SendJson(connection, unavailable ? MHD_HTTP_SERVICE_UNAVAILABLE : MHD_HTTP_BAD_GATEWAY,
                    json);
}
