#include "http/HttpServer.h"

#include "http/HostCheck.h"
#include "http/HttpRoutes.h"

#include <QFile>
#include <QRegularExpression>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

struct RequestState {
    QByteArray body;
    bool answered = false;
};

// An address as the key of its share: 4 bytes for IPv4, 16 for IPv6. An IPv4 client of an IPv6
// socket (::ffff:a.b.c.d) is the IPv4 address it is, so it meets the same share either way and
// matches an IPv4 --http-proxy. Empty for what is not an IP address.
QByteArray AddressKey(const sockaddr* address) {
    if (!address)
        return {};
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        return QByteArray(reinterpret_cast<const char*>(&v4->sin_addr), sizeof v4->sin_addr);
    }
    if (address->sa_family == AF_INET6) {
        const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
        const auto* bytes = reinterpret_cast<const char*>(&v6);
        return IN6_IS_ADDR_V4MAPPED(&v6) ? QByteArray(bytes + 12, 4) : QByteArray(bytes, sizeof v6);
    }
    return {};
}

// An IP literal ("192.168.1.20", "fe80::1") as AddressKey gives the address; empty for anything
// else: a port, a list, a name, a zone, blanks inside.
QByteArray LiteralKey(const QByteArray& text) {
    // INET6_ADDRSTRLEN holds the longest literal and its NUL.
    if (text.isEmpty() || text.size() >= INET6_ADDRSTRLEN || text.contains('\0'))
        return {};
    sockaddr_in v4{};
    if (inet_pton(AF_INET, text.constData(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        return AddressKey(reinterpret_cast<const sockaddr*>(&v4));
    }
    sockaddr_in6 v6{};
    if (inet_pton(AF_INET6, text.constData(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        return AddressKey(reinterpret_cast<const sockaddr*>(&v6));
    }
    return {};
}

// The peer's address: the client's, or a reverse proxy's.
QByteArray PeerAddress(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    return info ? AddressKey(info->client_addr) : QByteArray();
}

// The address whose share a request counts under. A named proxy's request is its client's, as
// the proxy gives it in X-Real-IP; one without a single valid X-Real-IP (the proxy passed on no
// client, or a program on the proxy's machine asks itself) counts under the proxy's own address.
// Any other peer is the client, whatever its headers claim.
QByteArray ClientAddress(MHD_Connection* connection, const HttpOptions& options) {
    const QByteArray peer = PeerAddress(connection);
    if (peer.isEmpty() || !options.proxies.contains(peer))
        return peer;
    struct Named {
        int count = 0;
        QByteArray value;
    } named;
    MHD_get_connection_values(
        connection, MHD_HEADER_KIND,
        [](void* cls, MHD_ValueKind, const char* key, const char* value) -> MHD_Result {
            Named& n = *static_cast<Named*>(cls);
            if (qstricmp(key, "X-Real-IP") == 0) {
                ++n.count;
                n.value = QByteArray(value ? value : "").trimmed();
            }
            return MHD_YES;
        },
        &named);
    const QByteArray client = named.count == 1 ? LiteralKey(named.value) : QByteArray();
    return client.isEmpty() ? peer : client;
}

struct Refusal {
    unsigned int status;
    QString text;
    bool close = false;
};

// What is wrong with a request's head, found before its body is read; nothing when it may go on.
//
// The framing must be unambiguous: with both Content-Length and Transfer-Encoding, two lengths,
// or a blank before a header's colon, a proxy in front and this server could each see another
// end of the body, and a request hidden in a body would be answered as one of its own. Such a
// request is answered 400 and its connection closed, so nothing after it is read.
std::optional<Refusal> RefuseHead(MHD_Connection* connection, const char* version,
                                  const HttpShared& server) {
    struct Count {
        int length = 0;
        int encoding = 0;
        int host = 0;
        bool blank = false;
        QByteArray hostValue;
        QByteArray lengthValue;
    } count;
    MHD_get_connection_values(
        connection, MHD_HEADER_KIND,
        [](void* cls, MHD_ValueKind, const char* key, const char* value) -> MHD_Result {
            Count& c = *static_cast<Count*>(cls);
            const QByteArray name = QByteArray(key).toLower();
            c.blank = c.blank || name.contains(' ') || name.contains('\t');
            if (name == "content-length") {
                ++c.length;
                c.lengthValue = value;
            } else if (name == "transfer-encoding") {
                ++c.encoding;
            } else if (name == "host") {
                ++c.host;
                c.hostValue = value;
            }
            return MHD_YES;
        },
        &count);
    if (count.blank)
        return Refusal{MHD_HTTP_BAD_REQUEST, QStringLiteral("a header's name holds a blank"), true};
    if (count.length > 0 && count.encoding > 0)
        return Refusal{MHD_HTTP_BAD_REQUEST,
                       QStringLiteral("give Content-Length or Transfer-Encoding, not both"), true};
    if (count.length > 1 || count.encoding > 1)
        return Refusal{MHD_HTTP_BAD_REQUEST,
                       QStringLiteral("Content-Length or Transfer-Encoding given twice"), true};
    if (count.host > 1)
        return Refusal{MHD_HTTP_BAD_REQUEST, QStringLiteral("Host given twice")};
    // HTTP/1.0 may leave Host out; a request without a name cannot come from a rebound one.
    if (count.host == 0 && qstrcmp(version, MHD_HTTP_VERSION_1_0) != 0)
        return Refusal{MHD_HTTP_BAD_REQUEST, QStringLiteral("an HTTP/1.1 request needs Host")};
    if (count.host == 1 &&
        !HostAdmitted(count.hostValue, server.machineName, server.options.hostNames)) {
        const QString name = HostName(count.hostValue);
        return Refusal{
            MHD_HTTP_MISDIRECTED_REQUEST,
            QStringLiteral("this poller answers to its IP addresses, localhost and %1; to answer "
                           "to another name, start it with --http-host %2")
                .arg(server.machineName.isEmpty() ? QStringLiteral("its host name")
                                                  : server.machineName + QStringLiteral("(.local)"),
                     name.isEmpty() ? QStringLiteral("NAME") : name)};
    }
    bool ok = true;
    if (count.length == 1 &&
        (count.lengthValue.toLongLong(&ok) > server.options.maxBodyBytes || !ok))
        return Refusal{MHD_HTTP_CONTENT_TOO_LARGE,
                       QStringLiteral("the request body is larger than %1 bytes")
                           .arg(server.options.maxBodyBytes)};
    return std::nullopt;
}

} // namespace

struct HttpServer::Impl {
    explicit Impl(HttpOptions o) : shared(std::move(o)) {}

    HttpShared shared;
    MHD_Daemon* daemon = nullptr;
    quint16 port = 0;

    // The connections, for the request deadline, and how many each peer address holds, for its
    // share of them.
    std::mutex connectionsMutex;
    std::set<ConnectionState*> connections;
    std::map<QByteArray, int> connectionsFrom;
    std::thread watchdog;
    std::condition_variable watchdogWake;

    void Watch();
    MHD_Result Dispatch(MHD_Connection* connection, const QByteArray& url, const QByteArray& method,
                        RequestState& request);
};

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

bool AdmitHttpHost(const QString& name, HttpOptions& options, QString& error) {
    const QString admitted = AdmissibleHostName(name, error);
    if (admitted.isEmpty())
        return false;
    if (!options.hostNames.contains(admitted))
        options.hostNames.append(admitted);
    return true;
}

bool AdmitHttpProxy(const QString& address, HttpOptions& options, QString& error) {
    QString text = address.trimmed();
    if (text.startsWith(QLatin1Char('[')) && text.endsWith(QLatin1Char(']')))
        text = text.mid(1, text.size() - 2);
    const QByteArray key = LiteralKey(text.toLatin1());
    if (key.isEmpty()) {
        error = QStringLiteral("\"%1\" is not an IP address: give the proxy's address without a "
                               "port, like 127.0.0.1 or ::1")
                    .arg(address.left(60));
        return false;
    }
    if (!options.proxies.contains(key))
        options.proxies.append(key);
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
    impl_->shared.settingsHandler = std::move(handler);
}

void HttpServer::Take(const Reading& reading) {
    HttpShared& d = impl_->shared;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.latest = reading;
        d.latestSteady = HttpShared::SteadyMs();
        ++d.sequence;
        if (reading.row.state != ReadingsRow::Received)
            ++d.failedReadings;
        else if (reading.implausible)
            ++d.implausibleReadings;
        else
            ++d.okReadings;
        if (reading.capacity &&
            (reading.capacity->warningStarted || reading.capacity->warningEnded)) {
            d.capacityEvents.emplace_back(++d.capacitySequence,
                                          JsonText(CapacityJson(*reading.capacity)));
            if (d.capacityEvents.size() > HttpShared::CapacityEventsKept)
                d.capacityEvents.pop_front();
        }
    }
    d.newReading.notify_all();
}

void HttpServer::SetDevice(const DeviceIdentity& identity, const QString& portText,
                           bool connected) {
    HttpShared& d = impl_->shared;
    std::lock_guard<std::mutex> lock(d.mutex);
    d.haveDevice = true;
    d.identity = identity;
    d.portText = portText;
    d.connected = connected;
}

void HttpServer::SetConnected(bool connected) {
    HttpShared& d = impl_->shared;
    std::lock_guard<std::mutex> lock(d.mutex);
    d.connected = connected;
}

void HttpServer::SetUpgradeHandler(UpgradeHandler handler) {
    impl_->shared.upgradeHandler = std::move(handler);
}

void HttpServer::SetFirmware(const FirmwareStatus& status, bool upgradeEvent) {
    HttpShared& d = impl_->shared;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.firmware = status;
        if (!upgradeEvent)
            return;
        d.upgradeEvents.emplace_back(++d.upgradeEventNumber, JsonText(d.FirmwareJson()));
        while (d.upgradeEvents.size() > HttpShared::UpgradeEventsKept)
            d.upgradeEvents.pop_front();
    }
    d.newReading.notify_all();
}

void HttpServer::SetSinkStatus(std::optional<qint64> mqttQueueLength, qint64 historyWriteProblems) {
    HttpShared& d = impl_->shared;
    std::lock_guard<std::mutex> lock(d.mutex);
    d.mqttQueue = mqttQueueLength;
    d.historyProblems = historyWriteProblems;
}

bool HttpServer::Start(QString* error) {
    Impl& d = *impl_;
    HttpShared& shared = d.shared;
    for (const auto& [path, resource, type] :
         {std::tuple{"/", ":/kdr31/web/index.html", "text/html; charset=utf-8"},
          std::tuple{"/app.js", ":/kdr31/web/app.js", "text/javascript; charset=utf-8"},
          std::tuple{"/style.css", ":/kdr31/web/style.css", "text/css; charset=utf-8"},
          std::tuple{"/chart.js", ":/kdr31/web/chart.js", "text/javascript; charset=utf-8"}}) {
        QFile file(QString::fromLatin1(resource));
        if (file.open(QIODevice::ReadOnly))
            shared.files[path] = {file.readAll(), type};
    }

    const HttpOptions& options = shared.options;

    sockaddr_in v4{};
    sockaddr_in6 v6{};
    const sockaddr* address = nullptr;
    unsigned int family = 0;
    const QByteArray host = options.address.toLatin1();
    if (inet_pton(AF_INET, host.constData(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(options.port);
        address = reinterpret_cast<const sockaddr*>(&v4);
    } else if (inet_pton(AF_INET6, host.constData(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(options.port);
        address = reinterpret_cast<const sockaddr*>(&v6);
        family = MHD_USE_IPv6;
    } else {
        if (error)
            *error = QStringLiteral("\"%1\" is not an IP address").arg(options.address);
        return false;
    }

    const auto access = [](void* cls, MHD_Connection* connection, const char* url,
                           const char* method, const char* version, const char* upload,
                           size_t* uploadSize, void** context) -> MHD_Result {
        Impl& impl = *static_cast<Impl*>(cls);
        auto* request = static_cast<RequestState*>(*context);
        if (!request) {
            // The head is whole and the body not read: what is wrong with the head is answered
            // now, before a byte of the body is read.
            request = new RequestState;
            *context = request;
            const std::optional<Refusal> refusal = RefuseHead(connection, version, impl.shared);
            if (!refusal)
                return MHD_YES;
            request->answered = true;
            HttpHeaders headers;
            if (refusal->close)
                headers.emplace_back(MHD_HTTP_HEADER_CONNECTION, "close");
            return SendError(connection, refusal->status, refusal->text, headers);
        }
        if (*uploadSize > 0) {
            if (!request->answered) {
                // A body without a length (chunked) that outgrows the limit: no answer can be
                // queued while a body comes in, so the connection is closed rather than the rest
                // of the body read.
                if (request->body.size() + qint64(*uploadSize) > impl.shared.options.maxBodyBytes)
                    return MHD_NO;
                request->body.append(upload, static_cast<qsizetype>(*uploadSize));
            }
            *uploadSize = 0;
            return MHD_YES;
        }
        if (request->answered)
            return MHD_YES;
        request->answered = true;
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
    // One address gets a fair share of the connections (a phone's page still loads while a
    // script elsewhere holds all it may); beyond it a connection is closed as it comes, without
    // an answer. A named proxy carries every client's connections and is not held to a share.
    //
    // The share is checked here, before libmicrohttpd makes the connection, and counted when it
    // has made it (notify, below), so a connection it refuses for another reason (all of them
    // taken) is never counted. Both run on the daemon's one listening thread, one connection
    // after the other, so no second connection from the address slips in between the check and
    // the count; connections end on their own threads, hence the lock.
    const auto admit = [](void* cls, const sockaddr* address, socklen_t length) -> MHD_Result {
        Impl& impl = *static_cast<Impl*>(cls);
        const bool whole =
            address && ((address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) ||
                        (address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)));
        const QByteArray peer = whole ? AddressKey(address) : QByteArray();
        if (impl.shared.options.proxies.contains(peer))
            return MHD_YES;
        std::lock_guard<std::mutex> lock(impl.connectionsMutex);
        const auto held = impl.connectionsFrom.find(peer);
        return held != impl.connectionsFrom.end() &&
                       held->second >= impl.shared.options.maxConnectionsPerAddress
                   ? MHD_NO
                   : MHD_YES;
    };
    const auto notify = [](void* cls, MHD_Connection* connection, void** socketContext,
                           MHD_ConnectionNotificationCode code) {
        Impl& impl = *static_cast<Impl*>(cls);
        const QByteArray peer = PeerAddress(connection);
        std::lock_guard<std::mutex> lock(impl.connectionsMutex);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            auto* state = new ConnectionState;
            if (const MHD_ConnectionInfo* info =
                    MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD))
                state->fd = info->connect_fd;
            impl.connections.insert(state);
            *socketContext = state;
            ++impl.connectionsFrom[peer];
        } else {
            auto* state = static_cast<ConnectionState*>(*socketContext);
            impl.connections.erase(state);
            delete state;
            *socketContext = nullptr;
            const auto held = impl.connectionsFrom.find(peer);
            if (held != impl.connectionsFrom.end() && --held->second <= 0)
                impl.connectionsFrom.erase(held);
        }
    };

    shared.stopping = false;
    shared.stoppingNow = false;
    using Access = MHD_Result (*)(void*, MHD_Connection*, const char*, const char*, const char*,
                                  const char*, size_t*, void**);
    using Completed = void (*)(void*, MHD_Connection*, void**, MHD_RequestTerminationCode);
    using Notify = void (*)(void*, MHD_Connection*, void**, MHD_ConnectionNotificationCode);
    using Admit = MHD_Result (*)(void*, const sockaddr*, socklen_t);
    // Beyond maxConnections the rest wait in the backlog or are closed.
    d.daemon = MHD_start_daemon(
        MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL | family,
        options.port, static_cast<Admit>(admit), &d, static_cast<Access>(access), &d,
        MHD_OPTION_SOCK_ADDR, address, MHD_OPTION_CONNECTION_LIMIT,
        static_cast<unsigned int>(options.maxConnections), MHD_OPTION_CONNECTION_TIMEOUT,
        static_cast<unsigned int>(options.idleTimeoutS), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        static_cast<size_t>(options.connectionMemoryBytes), MHD_OPTION_NOTIFY_COMPLETED,
        static_cast<Completed>(completed), &d, MHD_OPTION_NOTIFY_CONNECTION,
        static_cast<Notify>(notify), &d, MHD_OPTION_LISTEN_BACKLOG_SIZE, 64u,
        MHD_OPTION_THREAD_STACK_SIZE, static_cast<size_t>(512 * 1024), MHD_OPTION_END);
    if (!d.daemon) {
        if (error)
            *error = QStringLiteral("cannot listen on %1 port %2 (in use, or not an address of "
                                    "this machine)")
                         .arg(options.address)
                         .arg(options.port);
        return false;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(d.daemon, MHD_DAEMON_INFO_BIND_PORT);
    d.port = info ? info->port : options.port;
    d.watchdog = std::thread([&d] { d.Watch(); });
    return true;
}

void HttpServer::Stop() {
    Impl& d = *impl_;
    if (!d.daemon)
        return;
    {
        std::lock_guard<std::mutex> lock(d.shared.mutex);
        d.shared.stopping = true;
        d.shared.stoppingNow = true;
    }
    d.shared.newReading.notify_all();
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
    const auto deadline = std::chrono::seconds(shared.options.idleTimeoutS);
    std::unique_lock<std::mutex> lock(connectionsMutex);
    for (;;) {
        watchdogWake.wait_for(lock, std::chrono::milliseconds(250));
        {
            std::lock_guard<std::mutex> readings(shared.mutex);
            if (shared.stopping)
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

// The route table decides: 404 for a path it does not hold, 405 with Allow for a method the path
// does not take, 400 for a parameter its rules refuse. HEAD goes wherever GET goes.
MHD_Result HttpServer::Impl::Dispatch(MHD_Connection* connection, const QByteArray& url,
                                      const QByteArray& method, RequestState& state) {
    const bool get = method == MHD_HTTP_METHOD_GET || method == MHD_HTTP_METHOD_HEAD;
    const Route* route = nullptr;
    QByteArray allow;
    for (const Route& r : HttpRoutes()) {
        if (url != r.path)
            continue;
        const bool takesGet = r.method == RouteMethod::Get;
        const char* name = takesGet                       ? "GET, HEAD"
                           : r.method == RouteMethod::Put ? MHD_HTTP_METHOD_PUT
                                                          : MHD_HTTP_METHOD_POST;
        allow += QByteArray(allow.isEmpty() ? "" : ", ") + name;
        if (takesGet ? get : method == name)
            route = &r;
    }
    if (allow.isEmpty())
        return SendError(connection, MHD_HTTP_NOT_FOUND, QStringLiteral("no such page"));
    if (!route)
        return SendError(
            connection, MHD_HTTP_METHOD_NOT_ALLOWED,
            QStringLiteral("%1 takes %2").arg(QString::fromLatin1(url), QString::fromLatin1(allow)),
            {{MHD_HTTP_HEADER_ALLOW, allow}});
    if (get && !state.body.isEmpty())
        return SendError(connection, MHD_HTTP_BAD_REQUEST, QStringLiteral("GET takes no body"));

    HttpRequest request;
    request.connection = connection;
    request.path = url;
    request.head = method == MHD_HTTP_METHOD_HEAD;
    request.clientAddress = ClientAddress(connection, shared.options);
    request.body = state.body;
    QString refusal;
    if (!ReadArguments(connection, *route, request.args, refusal))
        return SendError(connection, MHD_HTTP_BAD_REQUEST, refusal);
    if (route->readsHistory) {
        if (shared.options.databasePath.isEmpty())
            return SendError(connection, MHD_HTTP_SERVICE_UNAVAILABLE,
                             QStringLiteral("this poller keeps no history"));
        request.historySlot = shared.TakeHistorySlot();
        if (!request.historySlot)
            return SendError(connection, MHD_HTTP_SERVICE_UNAVAILABLE,
                             QStringLiteral("too many history reads at once; try again"),
                             {{"Retry-After", "2"}});
    }
    return route->handler(shared, request);
}
