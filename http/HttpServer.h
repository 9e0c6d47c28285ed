#pragma once
// Readings on request: the poller's HTTP side. A JSON API (device, latest reading, history,
// quarter-hour peak, capacity tariff, events, settings), Prometheus metrics and a web page,
// served by libmicrohttpd on threads of its own, so no request ever waits on a poll nor a poll
// on a request.
//
// libmicrohttpd rather than Qt HttpServer or cpp-httplib: it is the one of the three with the
// bounds a server on a home network needs as plain options (connections at once, memory per
// connection, which caps the request line and headers, idle time), it runs without an event
// loop of ours, and a response can be produced piece by piece by a callback, which the history
// answer (streamed from SQLite) and the events stream (a reading as it is taken) both need. Qt
// HttpServer is a technology preview in Qt 6.4 and has no connection or size bounds there;
// cpp-httplib reads whole bodies into memory before a handler sees them.
//
// Only requests that name this machine are answered (Host: an IP address, localhost, the host
// name or a name given with --http-host; 421 otherwise), so a web page of a DNS name that its
// owner points at this machine reads nothing. One client address holds a fair share of the
// connections and event streams, and a request whose body's end is ambiguous is refused.
//
// Behind a reverse proxy (--http-proxy) every client arrives from the proxy's address. For a
// request from a named proxy the client is the address the proxy puts in X-Real-IP, and that
// address is held to its share of event streams; the proxy's own connections are not counted
// against a share (it carries everybody's), so each client's share of connections is the
// proxy's to keep. The header of any other peer is never believed.
//
// Every endpoint is a row of the route table (HttpRoutes.h), its handler in a file of its
// concern; HttpServer.cpp keeps the daemon, the connection bookkeeping and the dispatch.
//
// Threads: the poll calls Take, SetDevice and SetSinkStatus; they copy under a mutex and wake
// the event streams, nothing more. Every connection gets a thread of libmicrohttpd's (32 at
// most by default), which reads a snapshot under the same mutex, or the history on a read-only
// connection of its own. A settings request is handed to the settings handler and the
// connection waits for its answer; the poll is never waited for.
//
// Wiring, in the poller:
//     HttpOptions options;             // ParseHttpListen(--http), AdmitHttpHost(--http-host),
//                                      // allowSettings, ReadHttpTokenFile
//     options.databasePath = ...;      // the history, for /api/v1/readings and the peak
//     HttpServer http(options);
//     http.SetSettingsHandler([&](const SettingsRequest& r, auto done) {
//         service.RequestSettings(r, done); });
//     if (!http.Start(&error)) ... exit
//     sink: Take(reading); after connect: SetDevice(identity, portText, true)
// The readings come through the readings fan-out, which hands each with the capacity tariff's
// figures (Reading::capacity): the quarter-hour, the capacity answers, events and gauges are
// those figures, so a reading handed without them has none.

#include "device/Kdr31Device.h"
#include "firmware/FirmwareStatus.h"
#include "history/QuarterPeak.h"
#include "readings/ReadingsFormat.h"
#include "readings/SettingsRequest.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>

struct HttpOptions {
    QString address = QStringLiteral("127.0.0.1");
    quint16 port = 8031; // 0: any free port (Port() tells which)
    int maxConnections = 32;
    // One client address's share: its connections, and its event streams of maxEventClients.
    int maxConnectionsPerAddress = 8;
    int maxEventStreamsPerAddress = 2;
    // A connection that sends nothing for this long is closed, and so is one that has not
    // finished its request in this time (a client that sends a byte now and then).
    int idleTimeoutS = 10;
    // Memory of one connection: the request line and the headers must fit in it.
    int connectionMemoryBytes = 32 * 1024;
    int maxBodyBytes = 4096; // a settings request is a few dozen bytes
    int maxEventClients = 8;
    int maxHistoryReaders = 4;
    // PUT /api/v1/settings is served only with both.
    bool allowSettings = false;
    // POST /api/v1/firmware/upgrade likewise, with the token.
    bool allowUpgrade = false;
    QByteArray token;
    // The history database; empty: the history endpoints answer 503.
    QString databasePath;
    // Names the server answers to besides its IP addresses, localhost and the machine's host
    // name (HostCheck.h), in lower case: --http-host.
    QStringList hostNames;
    // Reverse proxies in front, --http-proxy: their IP addresses as bytes (4 for IPv4, 16 for
    // IPv6), whose requests name their client in X-Real-IP.
    QList<QByteArray> proxies;
};

// "8031", "127.0.0.1:8031", "0.0.0.0:8031", "[::1]:8031". False, with the reason, otherwise.
bool ParseHttpListen(const QString& text, HttpOptions& options, QString& error);

// --http-host NAME: one more name to answer to. False, with the reason, for what is not a name.
bool AdmitHttpHost(const QString& name, HttpOptions& options, QString& error);

// --http-proxy ADDRESS: a reverse proxy in front, an IPv4 or IPv6 address (brackets allowed, no
// port). False, with the reason, for anything else.
bool AdmitHttpProxy(const QString& address, HttpOptions& options, QString& error);

// The bearer token: the file's first line, at least 16 characters, without blanks.
bool ReadHttpTokenFile(const QString& path, QByteArray& token, QString& error);

class HttpServer {
public:
    // refusals empty: the device has the settings; unchanged: it had them already, and nothing
    // was sent.
    using SettingsDone = std::function<void(const QStringList& refusals, bool unchanged)>;
    using SettingsHandler = std::function<void(const SettingsRequest&, SettingsDone done)>;

    explicit HttpServer(HttpOptions options);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Listens. False, with the reason
    // (address in use, no such address), when it cannot listen.
    bool Start(QString* error);
    // Ends the event streams and every connection; waits for their threads.
    void Stop();
    quint16 Port() const;

    // From the poll thread; each returns at once.
    void Take(const Reading& reading);
    void SetDevice(const DeviceIdentity& identity, const QString& portText, bool connected);
    void SetConnected(bool connected);
    // For /metrics: the MQTT queue's length (nothing: no MQTT) and how many history writes
    // failed so far.
    void SetSinkStatus(std::optional<qint64> mqttQueueLength, qint64 historyWriteProblems);
    // Before Start. Without one, PUT /api/v1/settings answers 503. The handler is called on a
    // connection's thread, so it must only hand the request over (the readings service queues
    // it for the poll thread); done may be called on any thread, once, and the connection waits
    // for it up to 75 s.
    void SetSettingsHandler(SettingsHandler handler);

    // The firmware: what the poller knows of it, for GET /api/v1/firmware and /metrics; with
    // upgradeEvent an "upgrade" event goes to every event stream too. From the poll thread.
    void SetFirmware(const FirmwareStatus& status, bool upgradeEvent);
    // Before Start. POST /api/v1/firmware/upgrade hands the request to handler on a connection's
    // thread (it must only hand it over); done may be called on any thread, once, and the
    // connection waits for it up to 75 s. Without one the route answers 503.
    using UpgradeDone = std::function<void(const UpgradeAnswer& answer)>;
    using UpgradeHandler = std::function<void(UpgradeDone done)>;
    void SetUpgradeHandler(UpgradeHandler handler);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};
