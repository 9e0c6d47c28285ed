#include "http/HttpServer.h"

#include "Version.h"
#include "history/HistoryExport.h"
#include "history/HistoryStore.h"
#include "readings/StateMessage.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>
#include <QRegularExpression>
#include <QTimeZone>
#include <QUrl>

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr qint64 MaxPeriodMs = 31LL * 24 * 3600 * 1000;
// Rows read from the history per piece of a streamed answer: a few hundred kB of text at most.
constexpr int RowsPerPiece = 500;
// An events stream says something this often (and at least twice per idle timeout), so a proxy
// or a phone keeps it open and the idle timeout does not close it.
constexpr auto EventKeepAlive = std::chrono::milliseconds(5000);
// The device takes settings between readings: at most one interval (60 s) and a transaction.
constexpr auto SettingsWait = std::chrono::seconds(75);

QByteArray JsonBytes(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

QString CountryText(int country) {
    return country == 1 ? QStringLiteral("nl") : QStringLiteral("be");
}

// Constant-time: the hashes of both are compared whole, so neither the length nor the first
// wrong byte of a guess shows in the time of the answer.
bool SameToken(const QByteArray& given, const QByteArray& expected) {
    const QByteArray a = QCryptographicHash::hash(given, QCryptographicHash::Sha256);
    const QByteArray b = QCryptographicHash::hash(expected, QCryptographicHash::Sha256);
    unsigned char difference = 0;
    for (int i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0 && !expected.isEmpty();
}

struct StaticFile {
    QByteArray body;
    const char* type;
};

// A Prometheus label value: backslash, quote and line end escaped.
QByteArray LabelValue(const QString& text) {
    QByteArray out;
    for (const char c : text.toUtf8()) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

QByteArray MetricNumber(double value) {
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "+Inf" : "-Inf";
    return QByteArray::number(value, 'g', QLocale::FloatingPointShortest);
}

} // namespace

// Written by the connection's thread, read by the watchdog's.
struct ConnectionState {
    MHD_socket fd = MHD_INVALID_SOCKET;
    std::atomic<Clock::rep> since{Clock::now().time_since_epoch().count()}; // start, or the end
                                                                            // of the last request
    std::atomic<bool> responding{false};
    bool cut = false; // the watchdog's own
};

struct RequestState {
    QByteArray body;
    bool tooLarge = false;
    bool answered = false;
};

struct HttpServer::Impl {
    explicit Impl(HttpOptions o) : options(std::move(o)), live(QTimeZone::systemTimeZone()) {}

    HttpOptions options;
    MHD_Daemon* daemon = nullptr;
    quint16 port = 0;
    std::map<QByteArray, StaticFile> files;
    SettingsHandler settingsHandler;

    // What the poll hands over; everything below under mutex.
    std::mutex mutex;
    std::condition_variable newReading;
    bool stopping = false;
    std::atomic<bool> stoppingNow{false}; // the same, for waits under another lock
    quint64 sequence = 0;
    std::optional<Reading> latest;
    QuarterFigures latestQuarter; // as the MQTT state message of the same reading carries them
    qint64 latestSteady = 0;      // ms of a monotonic clock when latest came
    quint64 okReadings = 0;
    quint64 failedReadings = 0;
    quint64 implausibleReadings = 0;
    bool haveDevice = false;
    bool connected = false;
    DeviceIdentity identity;
    QString portText;
    std::optional<qint64> mqttQueue;
    qint64 historyProblems = 0;
    LiveQuarter live;
    bool settingsBusy = false;

    std::atomic<int> eventClients{0};
    std::atomic<int> historyReaders{0};

    // The connections, for the request deadline.
    std::mutex connectionsMutex;
    std::set<ConnectionState*> connections;
    std::thread watchdog;
    std::condition_variable watchdogWake;

    static qint64 SteadyMs() {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   Clock::now().time_since_epoch())
            .count();
    }

    void Watch();
    MHD_Result Dispatch(MHD_Connection* connection, const QByteArray& url, const QByteArray& method,
                        RequestState& request);
    QJsonObject QuarterJson(qint64 now);
    QByteArray Metrics();
    MHD_Result Events(MHD_Connection* connection);
    MHD_Result History(MHD_Connection* connection);
    MHD_Result Peak(MHD_Connection* connection);
    MHD_Result QuarterHours(MHD_Connection* connection);
    MHD_Result Settings(MHD_Connection* connection, const RequestState& request);
};

namespace {

void MarkResponding(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    if (info && info->socket_context)
        static_cast<ConnectionState*>(info->socket_context)->responding = true;
}

MHD_Result Send(MHD_Connection* connection, unsigned int status, const QByteArray& body,
                const char* type,
                const std::vector<std::pair<const char*, QByteArray>>& headers = {}) {
    MHD_Response* response =
        MHD_create_response_from_buffer(static_cast<size_t>(body.size()),
                                        const_cast<char*>(body.constData()), MHD_RESPMEM_MUST_COPY);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    for (const auto& [name, value] : headers)
        MHD_add_response_header(response, name, value.constData());
    MarkResponding(connection);
    const MHD_Result result = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return result;
}

MHD_Result SendJson(MHD_Connection* connection, unsigned int status, const QJsonObject& object) {
    return Send(connection, status, JsonBytes(object), "application/json");
}

MHD_Result SendError(MHD_Connection* connection, unsigned int status, const QString& message,
                     const std::vector<std::pair<const char*, QByteArray>>& headers = {}) {
    return Send(connection, status, JsonBytes({{QStringLiteral("error"), message}}),
                "application/json", headers);
}

// The query's parameters, each at most once and all of them known to the endpoint; an empty map
// with the refusal otherwise.
struct Query {
    std::map<QByteArray, QString> values;
    QString refusal;
};

Query ReadQuery(MHD_Connection* connection, std::initializer_list<const char*> known) {
    struct Walk {
        Query query;
        std::vector<QByteArray> known;
    } walk;
    for (const char* name : known)
        walk.known.emplace_back(name);
    MHD_get_connection_values(
        connection, MHD_GET_ARGUMENT_KIND,
        [](void* cls, MHD_ValueKind, const char* key, const char* value) -> MHD_Result {
            Walk& w = *static_cast<Walk*>(cls);
            const QByteArray name(key);
            if (std::find(w.known.begin(), w.known.end(), name) == w.known.end())
                w.query.refusal = QStringLiteral("unknown query parameter \"%1\"")
                                      .arg(QString::fromUtf8(name.left(40)));
            else if (w.query.values.count(name))
                w.query.refusal =
                    QStringLiteral("query parameter \"%1\" given twice").arg(QLatin1String(key));
            else
                w.query.values[name] = QString::fromUtf8(value ? value : "");
            return w.query.refusal.isEmpty() ? MHD_YES : MHD_NO;
        },
        &walk);
    return walk.query;
}

} // namespace

bool ParseHttpListen(const QString& text, HttpOptions& options, QString& error) {
    static const QRegularExpression form(
        QStringLiteral("^(?:(\\[[0-9A-Fa-f:.]+\\]|[0-9.]+):)?(\\d{1,5})$"));
    const QRegularExpressionMatch match = form.match(text);
    const int port = match.hasMatch() ? match.captured(2).toInt() : -1;
    if (port < 0 || port > 65535) {
        error = QStringLiteral("--http takes [ADDRESS:]PORT, like 8031 or 0.0.0.0:8031, with a "
                               "port 1-65535 (0: any free port)");
        return false;
    }
    QString address = match.captured(1);
    if (address.startsWith(QLatin1Char('[')))
        address = address.mid(1, address.size() - 2);
    in6_addr parsed{};
    if (!address.isEmpty() && inet_pton(AF_INET, qPrintable(address), &parsed) != 1 &&
        inet_pton(AF_INET6, qPrintable(address), &parsed) != 1) {
        error = QStringLiteral("--http: \"%1\" is not an IP address").arg(address);
        return false;
    }
    options.address = address.isEmpty() ? QStringLiteral("127.0.0.1") : address;
    options.port = static_cast<quint16>(port);
    return true;
}

bool ReadHttpTokenFile(const QString& path, QByteArray& token, QString& error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read the token file %1: %2").arg(path, file.errorString());
        return false;
    }
    const QByteArray line = file.readLine(4096).trimmed();
    static const QRegularExpression printable(QStringLiteral("^[\\x21-\\x7e]{16,}$"));
    if (!printable.match(QString::fromLatin1(line)).hasMatch()) {
        error = QStringLiteral("the token file %1 must hold one line of at least 16 printable "
                               "characters without blanks")
                    .arg(path);
        return false;
    }
    token = line;
    return true;
}

HttpServer::HttpServer(HttpOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

HttpServer::~HttpServer() {
    Stop();
}

quint16 HttpServer::Port() const {
    return impl_->port;
}

void HttpServer::SetSettingsHandler(SettingsHandler handler) {
    impl_->settingsHandler = std::move(handler);
}

void HttpServer::Take(const Reading& reading) {
    Impl& d = *impl_;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.latest = reading;
        d.latestSteady = Impl::SteadyMs();
        ++d.sequence;
        if (reading.row.state != ReadingsRow::Received)
            ++d.failedReadings;
        else if (reading.implausible)
            ++d.implausibleReadings;
        else
            ++d.okReadings;
        const auto& f = reading.row.fields;
        // Import energy: High + Low; both must be in the reply.
        if (reading.row.state == ReadingsRow::Received && !reading.implausible &&
            (reading.row.present & 0b111) == 0b111)
            d.live.Add({reading.row.time, double(f[1]) + double(f[2])}, double(f[0]));
        d.latestQuarter = QuarterFiguresOf(d.live.At(reading.row.time));
    }
    d.newReading.notify_all();
}

void HttpServer::SetDevice(const DeviceIdentity& identity, const QString& portText,
                           bool connected) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->haveDevice = true;
    impl_->identity = identity;
    impl_->portText = portText;
    impl_->connected = connected;
}

void HttpServer::SetConnected(bool connected) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->connected = connected;
}

void HttpServer::SetSinkStatus(std::optional<qint64> mqttQueueLength, qint64 historyWriteProblems) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->mqttQueue = mqttQueueLength;
    impl_->historyProblems = historyWriteProblems;
}

bool HttpServer::Start(QString* error) {
    Impl& d = *impl_;
    for (const auto& [path, resource, type] :
         {std::tuple{"/", ":/kdr31/web/index.html", "text/html; charset=utf-8"},
          std::tuple{"/app.js", ":/kdr31/web/app.js", "text/javascript; charset=utf-8"},
          std::tuple{"/style.css", ":/kdr31/web/style.css", "text/css; charset=utf-8"},
          std::tuple{"/chart.js", ":/kdr31/web/chart.js", "text/javascript; charset=utf-8"}}) {
        QFile file(QString::fromLatin1(resource));
        if (file.open(QIODevice::ReadOnly))
            d.files[path] = {file.readAll(), type};
    }

    if (!d.options.databasePath.isEmpty() && QFile::exists(d.options.databasePath))
        SeedLiveQuarter(d.live, d.options.databasePath, QDateTime::currentMSecsSinceEpoch());

    sockaddr_in v4{};
    sockaddr_in6 v6{};
    const sockaddr* address = nullptr;
    unsigned int family = 0;
    const QByteArray host = d.options.address.toLatin1();
    if (inet_pton(AF_INET, host.constData(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(d.options.port);
        address = reinterpret_cast<const sockaddr*>(&v4);
    } else if (inet_pton(AF_INET6, host.constData(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(d.options.port);
        address = reinterpret_cast<const sockaddr*>(&v6);
        family = MHD_USE_IPv6;
    } else {
        if (error)
            *error = QStringLiteral("\"%1\" is not an IP address").arg(d.options.address);
        return false;
    }

    const auto access = [](void* cls, MHD_Connection* connection, const char* url,
                           const char* method, const char*, const char* upload, size_t* uploadSize,
                           void** context) -> MHD_Result {
        Impl& impl = *static_cast<Impl*>(cls);
        auto* request = static_cast<RequestState*>(*context);
        if (!request) {
            request = new RequestState;
            *context = request;
            const char* length =
                MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Length");
            bool ok = true;
            if (length && (QByteArray(length).toLongLong(&ok) > impl.options.maxBodyBytes || !ok)) {
                request->answered = true;
                return SendError(connection, MHD_HTTP_CONTENT_TOO_LARGE,
                                 QStringLiteral("the request body is larger than %1 bytes")
                                     .arg(impl.options.maxBodyBytes));
            }
            return MHD_YES;
        }
        if (*uploadSize > 0) {
            if (!request->answered) {
                if (request->body.size() + qint64(*uploadSize) > impl.options.maxBodyBytes)
                    request->tooLarge = true;
                else
                    request->body.append(upload, static_cast<qsizetype>(*uploadSize));
            }
            *uploadSize = 0;
            return MHD_YES;
        }
        if (request->answered)
            return MHD_YES;
        request->answered = true;
        if (request->tooLarge)
            return SendError(connection, MHD_HTTP_CONTENT_TOO_LARGE,
                             QStringLiteral("the request body is larger than %1 bytes")
                                 .arg(impl.options.maxBodyBytes));
        return impl.Dispatch(connection, QByteArray(url), QByteArray(method), *request);
    };
    const auto completed = [](void*, MHD_Connection* connection, void** context,
                              MHD_RequestTerminationCode) {
        delete static_cast<RequestState*>(*context);
        *context = nullptr;
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        if (info && info->socket_context) {
            auto* state = static_cast<ConnectionState*>(info->socket_context);
            state->since = Clock::now().time_since_epoch().count();
            state->responding = false;
        }
    };
    const auto notify = [](void* cls, MHD_Connection* connection, void** socketContext,
                           MHD_ConnectionNotificationCode code) {
        Impl& impl = *static_cast<Impl*>(cls);
        std::lock_guard<std::mutex> lock(impl.connectionsMutex);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            auto* state = new ConnectionState;
            if (const MHD_ConnectionInfo* info =
                    MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD))
                state->fd = info->connect_fd;
            impl.connections.insert(state);
            *socketContext = state;
        } else {
            auto* state = static_cast<ConnectionState*>(*socketContext);
            impl.connections.erase(state);
            delete state;
            *socketContext = nullptr;
        }
    };

    d.stopping = false;
    d.stoppingNow = false;
    using Access = MHD_Result (*)(void*, MHD_Connection*, const char*, const char*, const char*,
                                  const char*, size_t*, void**);
    using Completed = void (*)(void*, MHD_Connection*, void**, MHD_RequestTerminationCode);
    using Notify = void (*)(void*, MHD_Connection*, void**, MHD_ConnectionNotificationCode);
    d.daemon = MHD_start_daemon(
        MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL | family,
        d.options.port, nullptr, nullptr, static_cast<Access>(access), &d, MHD_OPTION_SOCK_ADDR,
        address, MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned int>(d.options.maxConnections),
        MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned int>(d.options.idleTimeoutS),
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(d.options.connectionMemoryBytes),
        MHD_OPTION_NOTIFY_COMPLETED, static_cast<Completed>(completed), &d,
        MHD_OPTION_NOTIFY_CONNECTION, static_cast<Notify>(notify), &d,
        MHD_OPTION_LISTEN_BACKLOG_SIZE, 64u, MHD_OPTION_THREAD_STACK_SIZE,
        static_cast<size_t>(512 * 1024), MHD_OPTION_END);
    if (!d.daemon) {
        if (error)
            *error = QStringLiteral("cannot listen on %1 port %2 (in use, or not an address of "
                                    "this machine)")
                         .arg(d.options.address)
                         .arg(d.options.port);
        return false;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(d.daemon, MHD_DAEMON_INFO_BIND_PORT);
    d.port = info ? info->port : d.options.port;
    d.watchdog = std::thread([&d] { d.Watch(); });
    return true;
}

void HttpServer::Stop() {
    Impl& d = *impl_;
    if (!d.daemon)
        return;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.stopping = true;
        d.stoppingNow = true;
    }
    d.newReading.notify_all();
    {
        std::lock_guard<std::mutex> lock(d.connectionsMutex);
        d.watchdogWake.notify_all();
    }
    d.watchdog.join();
    MHD_stop_daemon(d.daemon);
    d.daemon = nullptr;
}

// The idle timeout closes a connection that sends nothing; this closes one that sends a byte now
// and then and never finishes its request, which would otherwise hold one of the few
// connections for as long as it likes.
void HttpServer::Impl::Watch() {
    const auto deadline = std::chrono::seconds(options.idleTimeoutS);
    std::unique_lock<std::mutex> lock(connectionsMutex);
    for (;;) {
        watchdogWake.wait_for(lock, std::chrono::milliseconds(250));
        {
            std::lock_guard<std::mutex> readings(mutex);
            if (stopping)
                return;
        }
        const Clock::rep now = Clock::now().time_since_epoch().count();
        const Clock::rep limit = std::chrono::duration_cast<Clock::duration>(deadline).count();
        for (ConnectionState* state : connections) {
            if (!state->responding && !state->cut && now - state->since > limit &&
                state->fd != MHD_INVALID_SOCKET) {
                // The connection's own thread sees the end of its socket and closes it.
                ::shutdown(state->fd, SHUT_RDWR);
                state->cut = true;
            }
        }
    }
}

QJsonObject HttpServer::Impl::QuarterJson(qint64 now) {
    const LiveQuarter::Now q = live.At(now);
    const auto value = [](const std::optional<double>& v) {
        return v ? QJsonValue(*v) : QJsonValue(QJsonValue::Null);
    };
    return QJsonObject{
        {QStringLiteral("start"), IsoLocalTime(q.quarterStart)},
        {QStringLiteral("end"), IsoLocalTime(q.quarterEnd)},
        {QStringLiteral("average_power_w"), value(q.averageW)},
        {QStringLiteral("forecast_power_w"), value(q.forecastW)},
        {QStringLiteral("month_peak"),
         q.monthPeak ? QJsonValue(QuarterHourJson(*q.monthPeak)) : QJsonValue(QJsonValue::Null)},
    };
}

MHD_Result HttpServer::Impl::Dispatch(MHD_Connection* connection, const QByteArray& url,
                                      const QByteArray& method, RequestState& request) {
    const bool get = method == "GET" || method == "HEAD";
    const bool known = files.count(url) || url == "/metrics" || url.startsWith("/api/v1/");
    if (!known)
        return SendError(connection, MHD_HTTP_NOT_FOUND, QStringLiteral("no such page"));
    if (url == "/api/v1/settings") {
        if (method != "PUT")
            return SendError(connection, MHD_HTTP_METHOD_NOT_ALLOWED,
                             QStringLiteral("settings take PUT"), {{"Allow", "PUT"}});
        return Settings(connection, request);
    }
    if (!get && (files.count(url) || url == "/metrics" || url == "/api/v1/device" ||
                 url == "/api/v1/readings/latest" || url == "/api/v1/readings" ||
                 url == "/api/v1/peak" || url == "/api/v1/quarter-hours" ||
                 url == "/api/v1/quarter-hour" || url == "/api/v1/events"))
        return SendError(connection, MHD_HTTP_METHOD_NOT_ALLOWED,
                         QStringLiteral("%1 takes GET").arg(QString::fromLatin1(url)),
                         {{"Allow", "GET, HEAD"}});
    if (!request.body.isEmpty())
        return SendError(connection, MHD_HTTP_BAD_REQUEST, QStringLiteral("GET takes no body"));
    const bool paramsAllowed =
        url == "/api/v1/readings" || url == "/api/v1/peak" || url == "/api/v1/quarter-hours";
    if (!paramsAllowed) {
        const Query query = ReadQuery(connection, {});
        if (!query.refusal.isEmpty())
            return SendError(connection, MHD_HTTP_BAD_REQUEST, query.refusal);
    }

    if (const auto file = files.find(url); file != files.end())
        return Send(connection, MHD_HTTP_OK, file->second.body, file->second.type,
                    {{"Content-Security-Policy",
                      "default-src 'self'; style-src 'self'; img-src 'self' data:"}});
    if (url == "/metrics")
        return Send(connection, MHD_HTTP_OK, Metrics(), "text/plain; version=0.0.4; charset=utf-8");
    if (url == "/api/v1/device") {
        std::lock_guard<std::mutex> lock(mutex);
        QJsonObject json{{QStringLiteral("connected"), connected},
                         {QStringLiteral("port"), portText}};
        if (haveDevice) {
            json.insert(QStringLiteral("firmware"), VersionText(identity.version));
            json.insert(QStringLiteral("serial"), identity.serialNumber);
            json.insert(QStringLiteral("settings"),
                        QJsonObject{{QStringLiteral("interval"), identity.interval},
                                    {QStringLiteral("country"), CountryText(identity.country)},
                                    {QStringLiteral("protocol"), identity.ProtocolIndex()},
                                    {QStringLiteral("divider"), identity.divider}});
        }
        return SendJson(connection, MHD_HTTP_OK, json);
    }
    if (url == "/api/v1/readings/latest") {
        std::unique_lock<std::mutex> lock(mutex);
        if (!latest)
            return SendError(connection, MHD_HTTP_SERVICE_UNAVAILABLE,
                             QStringLiteral("no reading yet"), {{"Retry-After", "5"}});
        const Reading reading = *latest;
        const QuarterFigures quarter = latestQuarter;
        const qint64 ageMs = SteadyMs() - latestSteady;
        lock.unlock();
        QJsonObject json = QJsonDocument::fromJson(StateMessage(reading, quarter)).object();
        json.insert(QStringLiteral("age_s"), double(ageMs) / 1000.0);
        return SendJson(connection, MHD_HTTP_OK, json);
    }
    if (url == "/api/v1/quarter-hour") {
        std::lock_guard<std::mutex> lock(mutex);
        return SendJson(connection, MHD_HTTP_OK, QuarterJson(QDateTime::currentMSecsSinceEpoch()));
    }
    if (url == "/api/v1/events")
        return Events(connection);
    if (url == "/api/v1/readings" || url == "/api/v1/peak" || url == "/api/v1/quarter-hours") {
        if (options.databasePath.isEmpty())
            return SendError(connection, MHD_HTTP_SERVICE_UNAVAILABLE,
                             QStringLiteral("this poller keeps no history"));
        if (historyReaders.fetch_add(1) >= options.maxHistoryReaders) {
            historyReaders.fetch_sub(1);
            return SendError(connection, MHD_HTTP_SERVICE_UNAVAILABLE,
                             QStringLiteral("too many history reads at once; try again"),
                             {{"Retry-After", "2"}});
        }
        // A streamed answer gives its slot back when the stream ends.
        const MHD_Result result = url == "/api/v1/readings" ? History(connection)
                                  : url == "/api/v1/peak"   ? Peak(connection)
                                                            : QuarterHours(connection);
        if (url != "/api/v1/readings")
            historyReaders.fetch_sub(1);
        return result;
    }
    return SendError(connection, MHD_HTTP_NOT_FOUND, QStringLiteral("no such page"));
}

QByteArray HttpServer::Impl::Metrics() {
    std::unique_lock<std::mutex> lock(mutex);
    const std::optional<Reading> reading = latest;
    const qint64 ageMs = SteadyMs() - latestSteady;
    const bool up = connected;
    const quint64 counts[3] = {okReadings, failedReadings, implausibleReadings};
    const std::optional<qint64> queue = mqttQueue;
    const qint64 problems = historyProblems;
    const LiveQuarter::Now quarter = live.At(QDateTime::currentMSecsSinceEpoch());
    lock.unlock();

    QByteArray out;
    const auto family = [&out](const char* name, const char* type, const char* help) {
        out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
    };
    family("kdr31_build_info", "gauge", "Version of the KDR31 poller.");
    out += "kdr31_build_info{version=\"" KDR31_VERSION_STRING "\"} 1\n";
    family("kdr31_up", "gauge", "1 when the device is connected to the poller.");
    out += QByteArray("kdr31_up ") + (up ? "1" : "0") + '\n';
    family("kdr31_readings_total", "counter",
           "Readings taken since the poller started, by status.");
    const char* statuses[3] = {"ok", "failed", "implausible"};
    for (int i = 0; i < 3; ++i)
        out += QByteArray("kdr31_readings_total{status=\"") + statuses[i] + "\"} " +
               QByteArray::number(counts[i]) + '\n';
    family("kdr31_history_write_errors_total", "counter",
           "Times writing readings to the history failed.");
    out += "kdr31_history_write_errors_total " + QByteArray::number(problems) + '\n';
    if (queue) {
        family("kdr31_mqtt_queue_length", "gauge", "Readings waiting for the MQTT broker.");
        out += "kdr31_mqtt_queue_length " + QByteArray::number(*queue) + '\n';
    }
    if (reading) {
        family("kdr31_reading_age_seconds", "gauge", "Time since the newest reading was taken.");
        out += "kdr31_reading_age_seconds " + MetricNumber(double(ageMs) / 1000.0) + '\n';
    }
    const auto optionalGauge = [&](const char* name, const char* help,
                                   const std::optional<double>& value) {
        if (!value)
            return;
        family(name, "gauge", help);
        out += QByteArray(name) + ' ' + MetricNumber(*value) + '\n';
    };
    optionalGauge("kdr31_quarter_hour_average_power_watts",
                  "Average import power so far in the quarter-hour now.", quarter.averageW);
    optionalGauge("kdr31_quarter_hour_forecast_power_watts",
                  "The quarter-hour's average at its end if the import power stays as it is.",
                  quarter.forecastW);
    optionalGauge("kdr31_month_peak_power_watts",
                  "Highest quarter-hour average import power of the month so far.",
                  quarter.monthPeak ? std::optional<double>(quarter.monthPeak->averageW)
                                    : std::nullopt);

    // A failed or implausible reading has no values: the series stay away rather than read 0.
    if (!reading || reading->row.state != ReadingsRow::Received || reading->implausible)
        return out;
    const ReadingsRow& row = reading->row;
    const QByteArray serial = "serial=\"" + LabelValue(reading->serial) + '"';
    const auto has = [&row](int field) {
        return (row.present & (1u << field)) && std::isfinite(row.fields[size_t(field)]);
    };
    const auto sample = [&](const char* name, const QByteArray& labels, double value) {
        out += QByteArray(name) + '{' + labels + "} " + MetricNumber(value) + '\n';
    };
    // Energy in joules and gas in cubic metres, the base units of Prometheus's naming guide.
    struct Series {
        const char* name;
        const char* type;
        const char* help;
        std::vector<std::pair<int, const char*>> fields; // field, extra label
        double scale;
    };
    const Series series[] = {
        {"kdr31_import_power_watts", "gauge", "Power taken from the grid.", {{0, nullptr}}, 1},
        {"kdr31_export_power_watts", "gauge", "Power fed into the grid.", {{4, nullptr}}, 1},
        {"kdr31_import_energy_joules_total",
         "counter",
         "Energy taken from the grid, by tariff.",
         {{1, "tariff=\"high\""}, {2, "tariff=\"low\""}},
         3600},
        {"kdr31_export_energy_joules_total",
         "counter",
         "Energy fed into the grid, by tariff.",
         {{5, "tariff=\"high\""}, {6, "tariff=\"low\""}},
         3600},
        {"kdr31_gas_cubic_meters_total", "counter", "Gas used.", {{8, nullptr}}, 1},
        {"kdr31_pulses_total",
         "counter",
         "Pulses counted on the pulse inputs.",
         {{11, "input=\"1\""}, {12, "input=\"2\""}},
         1},
    };
    for (const Series& s : series) {
        bool any = false;
        for (const auto& [field, label] : s.fields)
            any = any || has(field);
        if (!any)
            continue;
        family(s.name, s.type, s.help);
        for (const auto& [field, label] : s.fields)
            if (has(field))
                // Through the field's own shortest text, so 1235.956 m³ does not read
                // 1235.9560546875.
                sample(s.name, label ? serial + ',' + label : serial,
                       ExportNumber(row.fields[size_t(field)]).toDouble() * s.scale);
    }
    return out;
}

namespace {

// A response produced piece by piece: fill() appends the next piece to pending and returns
// false at the end.
struct Stream {
    QByteArray pending;
    qsizetype offset = 0;
    bool ended = false;
    std::function<bool(QByteArray&)> fill;
    std::function<void()> done;
    ~Stream() {
        if (done)
            done();
    }
};

MHD_Result SendStream(MHD_Connection* connection, std::unique_ptr<Stream> stream, const char* type,
                      const std::vector<std::pair<const char*, QByteArray>>& headers) {
    const auto read = [](void* cls, uint64_t, char* buffer, size_t max) -> ssize_t {
        Stream& s = *static_cast<Stream*>(cls);
        while (s.offset >= s.pending.size()) {
            if (s.ended)
                return MHD_CONTENT_READER_END_OF_STREAM;
            s.pending.clear();
            s.offset = 0;
            s.ended = !s.fill(s.pending);
        }
        const size_t n = std::min(max, size_t(s.pending.size() - s.offset));
        std::memcpy(buffer, s.pending.constData() + s.offset, n);
        s.offset += qsizetype(n);
        return ssize_t(n);
    };
    using Reader = ssize_t (*)(void*, uint64_t, char*, size_t);
    using Free = void (*)(void*);
    MHD_Response* response = MHD_create_response_from_callback(
        MHD_SIZE_UNKNOWN, 16 * 1024, static_cast<Reader>(read), stream.release(),
        static_cast<Free>([](void* cls) { delete static_cast<Stream*>(cls); }));
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    for (const auto& [name, value] : headers)
        MHD_add_response_header(response, name, value.constData());
    MarkResponding(connection);
    const MHD_Result result = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return result;
}

} // namespace

MHD_Result HttpServer::Impl::Events(MHD_Connection* connection) {
    if (eventClients.fetch_add(1) >= options.maxEventClients) {
        eventClients.fetch_sub(1);
        return SendError(connection, MHD_HTTP_SERVICE_UNAVAILABLE,
                         QStringLiteral("too many event streams at once"), {{"Retry-After", "5"}});
    }
    auto stream = std::make_unique<Stream>();
    quint64 seen = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        seen = sequence;
    }
    // The stream opens with the newest reading, so a page shows something at once.
    bool first = true;
    const auto keepAlive =
        std::min(EventKeepAlive, std::chrono::milliseconds(options.idleTimeoutS * 1000 / 2));
    stream->fill = [this, seen, first, keepAlive](QByteArray& out) mutable {
        std::unique_lock<std::mutex> lock(mutex);
        if (!first)
            newReading.wait_for(lock, keepAlive, [&] { return stopping || sequence != seen; });
        if (stopping)
            return false;
        if ((first || sequence != seen) && latest) {
            seen = sequence;
            const Reading reading = *latest;
            const QuarterFigures figures = latestQuarter;
            const QJsonObject quarter = QuarterJson(QDateTime::currentMSecsSinceEpoch());
            lock.unlock();
            out += "event: reading\ndata: " + StateMessage(reading, figures) + "\n\n";
            out +=
                "event: quarter\ndata: " + QJsonDocument(quarter).toJson(QJsonDocument::Compact) +
                "\n\n";
        } else {
            out += ": waiting\n\n";
        }
        first = false;
        return true;
    };
    stream->done = [this] { eventClients.fetch_sub(1); };
    return SendStream(connection, std::move(stream), "text/event-stream", {});
}

MHD_Result HttpServer::Impl::History(MHD_Connection* connection) {
    const auto release = [this] { historyReaders.fetch_sub(1); };
    const Query query = ReadQuery(connection, {"from", "to", "format", "serial", "every"});
    const auto refuse = [&](const QString& text) {
        release();
        return SendError(connection, MHD_HTTP_BAD_REQUEST, text);
    };
    if (!query.refusal.isEmpty())
        return refuse(query.refusal);
    const auto value = [&](const char* name) -> std::optional<QString> {
        const auto it = query.values.find(name);
        return it == query.values.end() ? std::nullopt : std::optional<QString>(it->second);
    };
    if (!value("from") || !value("to"))
        return refuse(QStringLiteral("give the period: from=2026-01-01&to=2026-01-31"));
    const std::optional<qint64> from = ParseHistoryTime(*value("from"), false);
    const std::optional<qint64> to = ParseHistoryTime(*value("to"), true);
    if (!from || !to)
        return refuse(QStringLiteral("from and to take 2026-01-31, 2026-01-31T18:00 or "
                                     "2026-01-31T18:00:00%2B01:00"));
    if (*to <= *from)
        return refuse(QStringLiteral("to must come after from"));
    if (*to - *from > MaxPeriodMs)
        return refuse(QStringLiteral("one answer covers 31 days at most"));
    const QString format = value("format").value_or(QStringLiteral("json"));
    if (format != QLatin1String("json") && format != QLatin1String("csv"))
        return refuse(QStringLiteral("format is json or csv"));
    const std::optional<QString> serial = value("serial");
    // every=S: one reading per S seconds (the first of each), for charts of long periods.
    qint64 everyMs = 0;
    if (const auto every = value("every")) {
        bool ok = false;
        everyMs = every->toLongLong(&ok) * 1000;
        if (!ok || everyMs < 1000 || everyMs > 86'400'000)
            return refuse(QStringLiteral("every takes seconds, 1 to 86400"));
    }

    auto store = std::make_shared<HistoryStore>();
    if (!store->Open(options.databasePath, true)) {
        release();
        return SendError(connection, MHD_HTTP_SERVICE_UNAVAILABLE,
                         QStringLiteral("the history cannot be read: %1").arg(store->ErrorText()));
    }
    const bool csv = format == QLatin1String("csv");
    auto stream = std::make_unique<Stream>();
    struct Position {
        qint64 from;
        int sameTime = 0; // rows at `from` already sent
        bool started = false;
        bool any = false;
        qint64 nextKeep = 0; // with every: the first time of the next bucket
    };
    auto position = std::make_shared<Position>(Position{*from});
    const qint64 end = *to;
    stream->fill = [store, position, end, serial, csv, everyMs](QByteArray& out) {
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
                    out += QJsonDocument(ReadingJson(reading)).toJson(QJsonDocument::Compact);
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
    stream->done = release;
    return SendStream(
        connection, std::move(stream), csv ? "text/csv; charset=utf-8" : "application/json",
        {{"Content-Disposition", csv ? "attachment; filename=\"kdr31-readings.csv\"" : "inline"}});
}

MHD_Result HttpServer::Impl::Peak(MHD_Connection* connection) {
    const Query query = ReadQuery(connection, {"month", "serial"});
    if (!query.refusal.isEmpty())
        return SendError(connection, MHD_HTTP_BAD_REQUEST, query.refusal);
    const QDateTime now = QDateTime::currentDateTime();
    int year = now.date().year();
    int month = now.date().month();
    if (const auto it = query.values.find("month"); it != query.values.end()) {
        static const QRegularExpression form(QStringLiteral("^(\\d{4})-(\\d{2})$"));
        const QRegularExpressionMatch match = form.match(it->second);
        month = match.hasMatch() ? match.captured(2).toInt() : 0;
        year = match.captured(1).toInt();
        if (month < 1 || month > 12 || year < 1970)
            return SendError(connection, MHD_HTTP_BAD_REQUEST,
                             QStringLiteral("month takes a year and a month, like 2026-01"));
    }
    std::optional<QString> serial;
    if (const auto it = query.values.find("serial"); it != query.values.end())
        serial = it->second;
    QString error;
    const auto report = MonthlyPeakReport(options.databasePath, year, month, serial,
                                          now.toMSecsSinceEpoch(), &error);
    if (!report)
        return SendError(connection, MHD_HTTP_SERVICE_UNAVAILABLE,
                         QStringLiteral("the history cannot be read: %1").arg(error));
    return SendJson(connection, MHD_HTTP_OK, PeakReportJson(*report));
}

MHD_Result HttpServer::Impl::QuarterHours(MHD_Connection* connection) {
    const Query query = ReadQuery(connection, {"date", "serial"});
    if (!query.refusal.isEmpty())
        return SendError(connection, MHD_HTTP_BAD_REQUEST, query.refusal);
    QDate date = QDate::currentDate();
    if (const auto it = query.values.find("date"); it != query.values.end()) {
        static const QRegularExpression form(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}$"));
        date = form.match(it->second).hasMatch() ? QDate::fromString(it->second, Qt::ISODate)
                                                 : QDate();
        if (!date.isValid())
            return SendError(connection, MHD_HTTP_BAD_REQUEST,
                             QStringLiteral("date takes a day, like 2026-01-31"));
    }
    std::optional<QString> serial;
    if (const auto it = query.values.find("serial"); it != query.values.end())
        serial = it->second;
    const QTimeZone zone = QTimeZone::systemTimeZone();
    const qint64 from = date.startOfDay(zone).toMSecsSinceEpoch();
    const qint64 to = date.addDays(1).startOfDay(zone).toMSecsSinceEpoch();
    QString error;
    const auto samples = ImportCounter(options.databasePath, from - DefaultMaxGapMs,
                                       to + DefaultMaxGapMs, serial, &error);
    if (!samples)
        return SendError(connection, MHD_HTTP_SERVICE_UNAVAILABLE,
                         QStringLiteral("the history cannot be read: %1").arg(error));
    QJsonArray quarters;
    for (const QuarterHour& q : ::QuarterHours(*samples, from, to, zone)) {
        QJsonObject json = QuarterHourJson(q);
        if (!q.complete)
            json.insert(QStringLiteral("average_power_w"), QJsonValue(QJsonValue::Null));
        quarters.append(json);
    }
    return SendJson(connection, MHD_HTTP_OK,
                    {{QStringLiteral("date"), date.toString(Qt::ISODate)},
                     {QStringLiteral("quarter_hours"), quarters}});
}

MHD_Result HttpServer::Impl::Settings(MHD_Connection* connection, const RequestState& request) {
    if (!options.allowSettings || options.token.isEmpty())
        return SendError(connection, MHD_HTTP_FORBIDDEN,
                         QStringLiteral("settings over HTTP are off: start the poller with "
                                        "--http-allow-settings and --http-token-file"));
    const QByteArray authorization(
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION));
    const QByteArray prefix("Bearer ");
    if (!authorization.startsWith(prefix) ||
        !SameToken(authorization.mid(prefix.size()), options.token))
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
    if (!settingsHandler)
        return SendError(connection, MHD_HTTP_SERVICE_UNAVAILABLE,
                         QStringLiteral("this poller takes no settings"));
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (settingsBusy)
            return SendError(connection, MHD_HTTP_CONFLICT,
                             QStringLiteral("another settings request is being applied"));
        settingsBusy = true;
    }
    // The answer comes on the poll thread, maybe after this connection gave up waiting: the
    // shared state outlives both.
    struct Answer {
        std::mutex mutex;
        std::condition_variable ready;
        std::optional<QStringList> refusals;
    };
    auto answer = std::make_shared<Answer>();
    MarkResponding(connection);
    settingsHandler(parsed.request, [answer](const QStringList& refusals) {
        std::lock_guard<std::mutex> lock(answer->mutex);
        answer->refusals = refusals;
        answer->ready.notify_all();
    });
    std::optional<QStringList> refusals;
    {
        std::unique_lock<std::mutex> lock(answer->mutex);
        const auto giveUp = Clock::now() + SettingsWait;
        while (!answer->refusals && !stoppingNow && Clock::now() < giveUp)
            answer->ready.wait_for(lock, std::chrono::milliseconds(250));
        refusals = answer->refusals;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        settingsBusy = false;
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
    return SendJson(connection, MHD_HTTP_OK,
                    {{QStringLiteral("ok"), true},
                     {QStringLiteral("settings"), SettingsRequestJson(parsed.request)}});
}
