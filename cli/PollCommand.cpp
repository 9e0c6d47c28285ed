#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/DeviceLoop.h"
#include "cli/Interrupts.h"
#include "cli/Session.h"
#include "device/Kdr31Device.h"
#include "device_link/MSComm.h"
#include "history/HistoryRecorder.h"
#include "history/HistoryStore.h"
#include "mqtt/MqttPublisher.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QStringList>
#include <QTimer>
#include <memory>

namespace {

// How long a broker may take to answer the first time before the user hears of it.
constexpr int MqttSilenceMs = 10000;

struct TextColumn {
    const char* label; // written before the cell; empty for none
    int column;        // grid column
};

// The grid's columns in the order the line shows them.
constexpr TextColumn TextColumns[] = {
    {"import", 3}, {"high", 4},     {"low", 5},      {"diff", 6},    {"export", 8},
    {"high", 9},   {"low", 10},     {"diff", 11},    {"tariff", 13}, {"gas", 15},
    {"diff", 16},  {"extern1", 18}, {"extern2", 19},
};

QString TextLine(const Reading& reading) {
    // A table of one row gives the cells exactly as the grid shows them: units, the user's
    // decimal separator, the tariff rule, "???" for a failed reading.
    ReadingsTable table;
    table.AppendRow(reading.row);
    QStringList parts{QDateTime::fromMSecsSinceEpoch(reading.row.time)
                          .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))};
    if (reading.row.state != ReadingsRow::Received)
        return parts.first() + QStringLiteral("  ") + table.TextMatrix(1, 3);
    for (const TextColumn& c : TextColumns) {
        const QString cell = table.TextMatrix(1, c.column);
        if (!cell.isEmpty())
            parts << QLatin1String(c.label) + QLatin1Char(' ') + cell;
    }
    return parts.join(QStringLiteral("  "));
}

// Every reading into the history database. A database that cannot be written is reported once
// per outage; the recorder keeps the readings meanwhile and writes them when it can again.
class HistorySink : public ReadingSink {
public:
    explicit HistorySink(const QString& path) : recorder_(path) {
        QObject::connect(&recorder_, &HistoryRecorder::ProblemStarted, [](const QString& text) {
            PrintError(QStringLiteral("history: %1; polling goes on and the readings are written "
                                      "once the database can be written again (choose another "
                                      "with --db PATH, or none with --no-db)")
                           .arg(text));
        });
    }
    void Take(const Reading& reading) override { recorder_.Record(reading); }

private:
    HistoryRecorder recorder_;
};

class MqttSink : public ReadingSink {
public:
    explicit MqttSink(MqttPublisher& publisher) : publisher_(publisher) {}
    void Take(const Reading& reading) override { publisher_.Publish(reading); }

private:
    MqttPublisher& publisher_;
};

QString BrokerName(const MqttOptions& options) {
    return QStringLiteral("%1:%2").arg(options.host).arg(options.port);
}

QString MqttFailureText(MqttError error, const QString& text, const MqttOptions& options) {
    switch (error) {
    case MqttError::NotAuthorised:
        return QStringLiteral("the MQTT broker %1 refused the user name or password (%2): check "
                              "the user in the --mqtt URL and the password "
                              "(--mqtt-password-file)")
            .arg(BrokerName(options), text);
    case MqttError::Setup:
        return QStringLiteral("%1: check --mqtt-ca and the --mqtt URL").arg(text);
    case MqttError::Refused:
    case MqttError::None:
        break;
    }
    return QStringLiteral("%1 (%2): check the broker's settings for this client")
        .arg(text, BrokerName(options));
}

} // namespace

QString ReadingLine(const Reading& reading, PollFormat format) {
    switch (format) {
    case PollFormat::Text:
        return TextLine(reading);
    case PollFormat::Csv:
        return ReadingsCsvLine(reading);
    case PollFormat::Json:
        return QString::fromUtf8(ReadingJsonText(reading));
    }
    return {};
}

int RunPoll(const CliRequest& request, Interrupts& interrupts,
            const std::vector<ReadingSink*>& extraSinks) {
    std::vector<ReadingSink*> sinks = extraSinks;
    std::unique_ptr<HistorySink> history;
    if (!request.noDatabase) {
        history = std::make_unique<HistorySink>(
            request.database.isEmpty() ? HistoryStore::DefaultPath() : request.database);
        sinks.push_back(history.get());
    }

    Kdr31Device device;
    if (!ConnectOrExplain(device, request.port))
        return ExitFailure;
    if (request.format == PollFormat::Csv && !PrintLine(ReadingsCsvHeader()))
        return ExitFailure;

    DeviceLoop loop(device, request.port, interrupts);

    // The broker learns the serial number and firmware from the identification above.
    std::unique_ptr<MqttPublisher> mqtt;
    std::unique_ptr<MqttSink> mqttSink;
    QTimer mqttSilence;
    if (request.mqtt) {
        const MqttOptions& options = *request.mqtt;
        const DeviceIdentity& identity = device.Identity();
        mqtt = std::make_unique<MqttPublisher>(options, identity.serialNumber,
                                               VersionText(identity.version));
        MqttPublisher* publisher = mqtt.get();
        QObject::connect(publisher, &MqttPublisher::failed, &loop,
                         [&loop, options](MqttError error, const QString& text) {
                             PrintError(MqttFailureText(error, text, options));
                             loop.Stop(ExitFailure);
                         });
        QObject::connect(publisher, &MqttPublisher::disconnected, &loop,
                         [](const QString& text) { PrintError(text); });
        QObject::connect(publisher, &MqttPublisher::readingsDropped, &loop, [](qint64 count) {
            PrintError(QStringLiteral("%1 readings were dropped while the MQTT broker was away "
                                      "(at most %2 wait for it); the newest were kept")
                           .arg(count)
                           .arg(MqttPublisher::QueueLimit));
        });
        // A broker that never answers is retried quietly by the publisher; say so once.
        mqttSilence.setSingleShot(true);
        QObject::connect(&mqttSilence, &QTimer::timeout, &loop, [publisher, options] {
            if (!publisher->IsConnected() && publisher->Error() == MqttError::None)
                PrintError(QStringLiteral("no answer yet from the MQTT broker %1: check the "
                                          "--mqtt URL and that the broker runs; still trying")
                               .arg(BrokerName(options)));
        });
        QObject::connect(&loop, &DeviceLoop::Lost, publisher,
                         [publisher] { publisher->SetDeviceAvailable(false); });
        QObject::connect(&loop, &DeviceLoop::Back, publisher,
                         [publisher] { publisher->SetDeviceAvailable(true); });
        publisher->SetSettingsHandler([&](const SettingsRequest& settings) {
            if (loop.DeviceLost() || !device.Connected())
                return QStringLiteral("the KDR31 is not connected; send again once it is back");
            QString failure;
            loop.Exclusive([&] { failure = ChangeSettings(device, request.port, settings); });
            return failure;
        });
        if (!publisher->Start()) {
            PrintError(MqttFailureText(publisher->Error(), publisher->ErrorText(), options));
            device.Disconnect();
            return ExitFailure;
        }
        mqttSilence.start(MqttSilenceMs);
        mqttSink = std::make_unique<MqttSink>(*publisher);
        sinks.push_back(mqttSink.get());
    }

    qint64 written = 0;
    // The device's refresh interval as it reports it, so a device set to a short interval (a
    // test setup) is polled that fast; a transaction lasts 0.3 s, and ticks that fall in one
    // are skipped. New settings from the broker change it.
    const auto interval = [&device] { return qMax(0, device.Identity().interval) * 1000; };
    const auto poll = [&]() {
        const DeviceIdentity& identity = device.Identity();
        Reading reading{device.ReadReadings(identity.Nederland(), !identity.Nederland()),
                        identity.serialNumber};
        if (!device.Port().PortOpen())
            return DeviceLoop::Step::PortLost;
        if (!PrintLine(ReadingLine(reading, request.format))) {
            PrintError(QStringLiteral("cannot write the readings to standard output"));
            return DeviceLoop::Step::Failed;
        }
        for (ReadingSink* sink : sinks)
            sink->Take(reading);
        ++written;
        return request.count > 0 && written >= request.count ? DeviceLoop::Step::Done
                                                             : DeviceLoop::Step::Continue;
    };
    const auto step = [&]() {
        // A settings message that comes in while the readings command waits for its answer
        // waits in turn, and is handled when the command is done.
        if (mqtt)
            mqtt->HoldSettings(true);
        DeviceLoop::Step result = poll();
        if (mqtt)
            mqtt->HoldSettings(false);
        if (result == DeviceLoop::Step::Continue && !device.Connected())
            result = DeviceLoop::Step::PortLost;
        return result;
    };
    const int exitCode = loop.Run(interval, step);
    device.Disconnect();
    if (mqtt) {
        // Readings still waiting for the broker get a moment, and availability says offline.
        mqtt->HoldSettings(true);
        mqtt->Stop();
    }
    return exitCode;
}
