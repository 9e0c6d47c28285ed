// PUT /api/v1/settings: the device's settings, with the bearer token, applied by the poll
// between two readings.

#include "http/HttpRoutes.h"

#include <QJsonArray>

namespace {

// The device takes settings between readings: at most one interval (60 s) and a transaction.
constexpr auto SettingsWait = std::chrono::seconds(75);

} // namespace

MHD_Result ServeSettings(HttpShared& server, HttpRequest& request) {
    MHD_Connection* connection = request.connection;
    const HttpOptions& options = server.options;
    if (!options.allowSettings || options.token.isEmpty())
        return SendError(connection, MHD_HTTP_FORBIDDEN,
                         QStringLiteral("settings over HTTP are off: start the poller with "
                                        "--http-allow-settings and --http-token-file"));
    if (!BearerTokenMatches(connection, options.token))
        return SendError(connection, MHD_HTTP_UNAUTHORIZED,
                         QStringLiteral("give the token as Authorization: Bearer TOKEN"),
                         {{MHD_HTTP_HEADER_WWW_AUTHENTICATE, "Bearer realm=\"kdr31\""}});
    const SettingsRequestResult parsed = ParseSettingsJson(request.body);
    if (!parsed.refusals.isEmpty())
        return SendJson(
            connection, MHD_HTTP_UNPROCESSABLE_CONTENT,
            {{QStringLiteral("ok"), false},
             {QStringLiteral("error"), QStringLiteral("the settings were refused")},
             {QStringLiteral("refusals"), QJsonArray::fromStringList(parsed.refusals)}});
    if (!server.settingsHandler)
        return SendError(connection, MHD_HTTP_SERVICE_UNAVAILABLE,
                         QStringLiteral("this poller takes no settings"));
    {
        std::lock_guard<std::mutex> lock(server.mutex);
        if (server.settingsBusy)
            return SendError(connection, MHD_HTTP_CONFLICT,
                             QStringLiteral("another settings request is being applied"));
        server.settingsBusy = true;
    }
    // The answer comes on the poll thread, maybe after this connection gave up waiting: the
    // shared state outlives both.
    struct Answer {
        std::mutex mutex;
        std::condition_variable ready;
        std::optional<QStringList> refusals;
        bool unchanged = false;
    };
    auto answer = std::make_shared<Answer>();
    MarkResponding(connection);
    server.settingsHandler(parsed.request, [answer](const QStringList& refusals, bool unchanged) {
        std::lock_guard<std::mutex> lock(answer->mutex);
        answer->refusals = refusals;
        answer->unchanged = unchanged;
        answer->ready.notify_all();
    });
    std::optional<QStringList> refusals;
    bool unchanged = false;
    {
        std::unique_lock<std::mutex> lock(answer->mutex);
        const auto giveUp = std::chrono::steady_clock::now() + SettingsWait;
        while (!answer->refusals && !server.stoppingNow &&
               std::chrono::steady_clock::now() < giveUp)
            answer->ready.wait_for(lock, std::chrono::milliseconds(250));
        refusals = answer->refusals;
        unchanged = answer->unchanged;
    }
    {
        std::lock_guard<std::mutex> lock(server.mutex);
        server.settingsBusy = false;
    }
    if (!refusals)
        return SendError(connection, MHD_HTTP_GATEWAY_TIMEOUT,
                         QStringLiteral("the device did not take the settings in time"));
    if (!refusals->isEmpty())
        return SendJson(
            connection, MHD_HTTP_CONFLICT,
            {{QStringLiteral("ok"), false},
             {QStringLiteral("error"), QStringLiteral("the device refused the settings")},
             {QStringLiteral("refusals"), QJsonArray::fromStringList(*refusals)}});
    QJsonObject taken{{QStringLiteral("ok"), true},
                      {QStringLiteral("settings"), SettingsRequestJson(parsed.request)}};
    if (unchanged)
        taken.insert(QStringLiteral("unchanged"), true);
    return SendJson(connection, MHD_HTTP_OK, taken);
}
