// kdr31-http-feed: serves made-up readings of one device over HTTP, at a fixed pace, to try the
// page, Prometheus or a script without a KDR31. The import power climbs 10 W a reading from
// 200 W and the counters follow it; pulse input 1 counts the readings (1, 2, 3, ...). The
// readings go through the readings fan-out as the poller's do, so the capacity tariff's figures
// are worked out for each, from the history when there is one.
//
//   kdr31-http-feed --http 127.0.0.1:8031 --every 1000 [--db PATH --backfill HOURS]
//                   [--http-host NAME]... [--http-proxy ADDRESS]... [--listed A.B.C.D]
//                   [--peak-power W] [--capacity-price EUR]
//
// --peak-power W draws W from the start of the quarter-hour now on (in the backfill too): above
// the month's peak and the 2.5 kW floor, the peak warning is on at once. With --peak-after MS
// the peak begins MS after the start instead, and with --peak-for MS it lasts that long; the
// quarter-hour draws 500 W before and after it, so the warning starts and ends.
//
// It prints "listening on http://ADDRESS:PORT/" once it listens (with port 0, the port chosen).
// Exit codes: 0 done, 2 bad options, 3 cannot listen, 4 the history cannot be written.

#include "history/CapacitySeed.h"
#include "history/HistoryStore.h"
#include "http/HttpServer.h"
#include "poller/ReadingsFanOut.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QTimer>
#include <cstdio>
#include <limits>

namespace {

struct Meter {
    double importWh = 1'523'456;
    double gas = 1234.5;
    int number = 0;
    // From quarterFrom on (UTC ms) the import power is peakW in [peakFrom, peakTo), QuietW
    // otherwise.
    static constexpr float QuietW = 500;
    std::optional<float> peakW;
    qint64 quarterFrom = 0;
    qint64 peakFrom = 0;
    qint64 peakTo = std::numeric_limits<qint64>::max();
};

Reading MadeUpReading(const QString& serial, Meter& meter, qint64 time, qint64 stepMs) {
    ++meter.number;
    const float power = !meter.peakW || time < meter.quarterFrom
                            ? 200.0f + float(meter.number % 300) * 10.0f
                        : time >= meter.peakFrom && time < meter.peakTo ? *meter.peakW
                                                                        : Meter::QuietW;
    meter.importWh += double(power) * double(stepMs) / 3.6e6;
    meter.gas += 0.001;
    Reading reading;
    reading.serial = serial;
    ReadingsRow& row = reading.row;
    row.time = time;
    row.state = ReadingsRow::Received;
    row.present = (1u << ReadingsFieldCount) - 1;
    row.fields = {power,
                  float(meter.importWh),
                  987654.0f,
                  1.0f,
                  0.0f,
                  40000.0f,
                  30000.0f,
                  0.0f,
                  float(meter.gas),
                  0.001f,
                  1.0f,
                  float(meter.number),
                  0.0f};
    return reading;
}

// The server as one of the fan-out's sinks, as the poller hands it the readings.
class ServerSink : public ReadingSink {
public:
    explicit ServerSink(HttpServer& server) : server_(server) {}
    void Take(const Reading& reading) override { server_.Take(reading); }

private:
    HttpServer& server_;
};

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kdr31-http-feed"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Serves made-up KDR31 readings over HTTP."));
    parser.addHelpOption();
    const auto option = [&](const char* name, const char* text, const char* value,
                            const char* fallback) {
        parser.addOption({QLatin1String(name), QLatin1String(text), QLatin1String(value),
                          QLatin1String(fallback)});
    };
    option("http", "[ADDRESS:]PORT to serve (default 127.0.0.1:8031; port 0: any free one).",
           "ADDRESS:PORT", "8031");
    option("serial", "Serial number (default KDR00001).", "SERIAL", "KDR00001");
    option("every", "Milliseconds between readings (default 1000).", "MS", "1000");
    option("count", "Readings to take, then stop (default 0: no end).", "N", "0");
    option("db", "History database to serve (and to fill with --backfill).", "PATH", "");
    option("backfill", "Hours of 5-second readings to write to --db before serving.", "HOURS", "0");
    option("timeout", "Idle and request timeout in seconds (default 10).", "S", "10");
    option("max-connections", "Connections at once (default 32).", "N", "32");
    option("token-file", "Bearer token for PUT /api/v1/settings.", "FILE", "");
    option("http-host", "Answer to this name too (repeatable).", "NAME", "");
    option("peak-power", "Import power (W) from the start of the quarter-hour now on.", "W", "");
    option("peak-after", "The peak power from this long after the start (ms) instead.", "MS", "");
    option("peak-for", "The peak power for this long (ms), then 500 W.", "MS", "");
    option("capacity-price", "Capacity tariff price, EUR per kW per year.", "EUR", "");
    option("http-proxy",
           "A reverse proxy in front, which names its client in X-Real-IP "
           "(repeatable).",
           "ADDRESS", "");
    option("listed",
           "Say that a firmware check found this version listed (the device runs "
           "1.2.3.4).",
           "A.B.C.D", "");
    parser.addOption(
        {QStringLiteral("allow-settings"), QStringLiteral("Take settings over HTTP.")});
    parser.addOption(
        {QStringLiteral("disconnected"), QStringLiteral("Say that the device is not connected.")});
    parser.process(app);

    HttpOptions options;
    QString error;
    bool ok[5] = {};
    const int every = parser.value(QStringLiteral("every")).toInt(&ok[0]);
    const int count = parser.value(QStringLiteral("count")).toInt(&ok[1]);
    const int backfillHours = parser.value(QStringLiteral("backfill")).toInt(&ok[2]);
    options.idleTimeoutS = parser.value(QStringLiteral("timeout")).toInt(&ok[3]);
    options.maxConnections = parser.value(QStringLiteral("max-connections")).toInt(&ok[4]);
    bool hostsOk = true;
    for (const QString& name : parser.values(QStringLiteral("http-host")))
        hostsOk = hostsOk && AdmitHttpHost(name, options, error);
    for (const QString& address : parser.values(QStringLiteral("http-proxy")))
        hostsOk = hostsOk && AdmitHttpProxy(address, options, error);
    if (!hostsOk || !ParseHttpListen(parser.value(QStringLiteral("http")), options, error) ||
        (parser.isSet(QStringLiteral("token-file")) &&
         !ReadHttpTokenFile(parser.value(QStringLiteral("token-file")), options.token, error))) {
        std::fprintf(stderr, "kdr31-http-feed: %s\n", qPrintable(error));
        return 2;
    }
    if (!ok[0] || !ok[1] || !ok[2] || !ok[3] || !ok[4] || every < 1 || count < 0 ||
        backfillHours < 0 || backfillHours > 24 * 62 || options.idleTimeoutS < 1 ||
        options.maxConnections < 1) {
        std::fprintf(stderr, "kdr31-http-feed: --every, --timeout and --max-connections need 1 "
                             "or more, --count and --backfill 0 or more\n");
        return 2;
    }
    std::optional<double> price;
    Meter meter;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    bool figuresOk = true;
    std::optional<qint64> peakAfter;
    std::optional<qint64> peakFor;
    if (parser.isSet(QStringLiteral("peak-power"))) {
        bool ok[3] = {false, true, true};
        meter.peakW = parser.value(QStringLiteral("peak-power")).toFloat(&ok[0]);
        meter.quarterFrom = QuarterStart(now, QTimeZone::systemTimeZone());
        meter.peakFrom = meter.quarterFrom;
        if (parser.isSet(QStringLiteral("peak-after"))) {
            peakAfter = parser.value(QStringLiteral("peak-after")).toUInt(&ok[1]);
            meter.peakFrom = std::numeric_limits<qint64>::max(); // none in the backfill
        }
        if (parser.isSet(QStringLiteral("peak-for")))
            peakFor = parser.value(QStringLiteral("peak-for")).toUInt(&ok[2]);
        figuresOk = ok[0] && ok[1] && ok[2] && *meter.peakW >= 0 && *meter.peakW <= 1e7f;
    }
    if (parser.isSet(QStringLiteral("capacity-price"))) {
        bool ok = false;
        price = parser.value(QStringLiteral("capacity-price")).toDouble(&ok);
        figuresOk = figuresOk && ok && *price >= 0 && *price < 1e4;
    }
    if (!figuresOk) {
        std::fprintf(stderr, "kdr31-http-feed: --peak-power takes watts and --capacity-price "
                             "euros, 0 or more\n");
        return 2;
    }
    options.allowSettings = parser.isSet(QStringLiteral("allow-settings"));
    options.databasePath = parser.value(QStringLiteral("db"));
    const QString serial = parser.value(QStringLiteral("serial"));

    if (backfillHours > 0 && !options.databasePath.isEmpty()) {
        HistoryStore store;
        constexpr qint64 step = 5000;
        std::vector<Reading> batch;
        bool written = store.Open(options.databasePath);
        for (qint64 t = now - qint64(backfillHours) * 3'600'000; written && t < now; t += step) {
            batch.push_back(MadeUpReading(serial, meter, t, step));
            if (batch.size() == 5000 || t + step >= now) {
                written = store.Insert(batch);
                batch.clear();
            }
        }
        if (!written) {
            std::fprintf(stderr, "kdr31-http-feed: %s\n", qPrintable(store.ErrorText()));
            return 4;
        }
    }

    HttpServer server(options);
    DeviceIdentity identity;
    identity.version = {1, 2, 3, 4};
    identity.interval = 10;
    identity.country = 2;
    identity.protocol = 5;
    identity.divider = 1;
    identity.serialNumber = serial;
    // The device takes settings between readings, as the readings service applies them: here on
    // the next turn of the event loop, which stands in for the poll thread.
    server.SetSettingsHandler(
        [&app, &server, &identity](const SettingsRequest& request, HttpServer::SettingsDone done) {
            QTimer::singleShot(0, &app, [&server, &identity, request, done] {
                const DeviceSettingValues before{identity.interval, identity.country,
                                                 identity.protocol, identity.divider};
                const DeviceSettingValues now = ApplySettingsRequest(before, request);
                identity.interval = now.interval;
                identity.country = now.country;
                identity.protocol = now.protocol;
                identity.divider = now.divider;
                server.SetDevice(identity, QStringLiteral("COM1 (/dev/pts/0)"), true);
                done({}, RequestChangesNothing(before, request));
            });
        });
    server.SetDevice(identity, QStringLiteral("COM1 (/dev/pts/0)"),
                     !parser.isSet(QStringLiteral("disconnected")));
    server.SetSinkStatus(0, 0);
    if (parser.isSet(QStringLiteral("listed"))) {
        const QStringList parts = parser.value(QStringLiteral("listed")).split(QLatin1Char('.'));
        FirmwareStatus firmware;
        firmware.check.installed = identity.version;
        FirmwareVersion listed{};
        for (int i = 0; i < 4 && parts.size() == 4; ++i)
            listed[size_t(i)] = std::uint8_t(parts[i].toUInt());
        firmware.check.listed = listed;
        firmware.check.checkedAt = now;
        server.SetFirmware(firmware, false);
    }
    if (!server.Start(&error)) {
        std::fprintf(stderr, "kdr31-http-feed: %s\n", qPrintable(error));
        return 3;
    }

    // The peak's times count from here, once the backfill is written: the readings served are
    // the ones that show it.
    const qint64 serving = QDateTime::currentMSecsSinceEpoch();
    if (peakAfter)
        meter.peakFrom = serving + *peakAfter;
    if (peakFor)
        meter.peakTo = meter.peakFrom + *peakFor;
    ReadingsFanOut fanOut;
    ServerSink sink(server);
    fanOut.Add(&sink);
    fanOut.SetCapacityOptions({std::nullopt, price});
    if (!options.databasePath.isEmpty())
        fanOut.SetCapacitySeeder([path = options.databasePath](const QString& device, qint64 at) {
            return ReadCapacitySeed(path, device, at);
        });
    const auto hand = [&fanOut](const Reading& reading) {
        fanOut.Hand(reading.row, reading.serial);
    };

    int taken = 0;
    qint64 previous = now;
    QTimer pace;
    QObject::connect(&pace, &QTimer::timeout, &app, [&] {
        const qint64 time = QDateTime::currentMSecsSinceEpoch();
        hand(MadeUpReading(serial, meter, time, time - previous));
        previous = time;
        if (count > 0 && ++taken >= count)
            pace.stop();
    });
    pace.start(every);
    hand(MadeUpReading(serial, meter, now, every));
    // Once the first reading is there, so a client that starts now finds one.
    std::printf("listening on http://%s:%u/\n", qPrintable(options.address), server.Port());
    std::fflush(stdout);
    const int code = app.exec();
    server.Stop();
    return code;
}
