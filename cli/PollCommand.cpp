// kdr31-cli poll: the readings service with the sinks the command line asks for (standard
// output, the history, an MQTT broker), and what the user is told about each of them.

#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/Interrupts.h"
#include "cli/Session.h"
#include "cli/TerminalUpgrade.h"
#include "device/Kdr31Device.h"
#include "device_link/MSComm.h"
#include "history/CapacitySeed.h"
#include "history/HistoryExport.h"
#include "history/HistoryRecorder.h"
#include "history/HistoryStore.h"
#include "http/HttpServer.h"
#include "mqtt/MqttPublisher.h"
#include "poller/FirmwareService.h"
#include "poller/HistorySink.h"
#include "poller/ReadingsService.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QStringList>
#include <QTimer>
#include <cerrno>
#include <memory>

namespace {

// How long a broker may take to answer the first time before the user hears of it.
constexpr int MqttSilenceMs = 10000;
// How long the broker gets at the end for what is still queued.
constexpr int MqttDrainMs = 5000;

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
    if (reading.implausible)
        parts << QStringLiteral("(implausible: not published)");
    return parts.join(QStringLiteral("  "));
}

// Standard output. A reader that went away (poll | head) ends the poll as Ctrl-C does: the
// reading being written has been handed to the other sinks already.
class StdoutSink : public ReadingSink {
public:
    StdoutSink(PollFormat format, ReadingsService& service) : format_(format), service_(service) {}
    void Take(const Reading& reading) override {
        if (closed_)
            return;
        if (PrintLine(ReadingLine(reading, format_)))
            return;
        closed_ = true;
        if (errno == EPIPE)
            return service_.Stop(ExitOk);
        PrintError(QStringLiteral("cannot write the readings to standard output"));
        service_.Stop(ExitFailure);
    }

private:
    const PollFormat format_;
    ReadingsService& service_;
    bool closed_ = false;
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
    default:
        break;
    }
    return QStringLiteral("%1 (%2): check the broker's settings for this client")
        .arg(text, BrokerName(options));
}

// The MQTT publisher, made once the device has identified itself (its serial number and
// firmware name the topics), and settings from the broker handed to the service.
class MqttSink : public QObject, public ReadingSink {
public:
    MqttSink(const MqttOptions& options, ReadingsService& service)
        : options_(options), service_(service) {
        silence_.setSingleShot(true);
        connect(&silence_, &QTimer::timeout, this, [this] {
            // Silence only: a TLS failure or a lost connection has been reported already.
            if (publisher_ && !publisher_->IsConnected() &&
                publisher_->Error() == MqttError::None && !publisher_->OutageReported())
                PrintError(QStringLiteral("no answer yet from the MQTT broker %1: check the "
                                          "--mqtt URL and that the broker runs; still trying")
                               .arg(BrokerName(options_)));
        });
        connect(&service_, &ReadingsService::Lost, this, [this] {
            if (publisher_)
                publisher_->SetDeviceAvailable(false);
        });
        connect(&service_, &ReadingsService::Back, this, [this] {
            if (publisher_)
                publisher_->SetDeviceAvailable(true);
        });
    }

    // False when nothing could be tried (the reason is on standard error).
    bool Start(const DeviceIdentity& identity) {
        if (publisher_)
            return true;
        publisher_ = std::make_unique<MqttPublisher>(options_, identity.serialNumber,
                                                     VersionText(identity.version));
        MqttPublisher* publisher = publisher_.get();
        connect(publisher, &MqttPublisher::failed, this,
                [this](MqttError error, const QString& text) {
                    PrintError(MqttFailureText(error, text, options_));
                    service_.Stop(ExitFailure);
                });
        connect(publisher, &MqttPublisher::disconnected, this,
                [](const QString& text) { PrintError(text); });
        connect(publisher, &MqttPublisher::readingsDropped, this, [](qint64 count) {
            PrintError(QStringLiteral("%1 readings were dropped while the MQTT broker was away "
                                      "(at most %2 wait for it); the newest were kept, and all "
                                      "are in the history")
                           .arg(count)
                           .arg(MqttPublisher::QueueLimit));
        });
        publisher->SetSettingsHandler([this, publisher](const SettingsRequest& request) {
            service_.RequestSettings(request, SettingsSource::Mqtt,
                                     [publisher, request](const SettingsAnswer& answer) {
                                         publisher->ReportSettingsResult(request, answer);
                                     });
        });
        if (!publisher->Start()) {
            PrintError(MqttFailureText(publisher->Error(), publisher->ErrorText(), options_));
            return false;
        }
        silence_.start(MqttSilenceMs);
        return true;
    }

    void Take(const Reading& reading) override {
        if (publisher_)
            publisher_->Publish(reading);
    }
    qint64 Queued() const { return publisher_ ? publisher_->Queued() : 0; }
    MqttPublisher* Publisher() { return publisher_.get(); }

    // Publishes what is queued while the broker takes it, says "offline", and tells the user what
    // could not be delivered. Returns the exit code, given the poll's.
    int Finish(int exitCode, bool recorded) {
        if (!publisher_)
            return exitCode;
        publisher_->Stop(MqttDrainMs);
        const int undelivered = publisher_->Undelivered();
        if (undelivered > 0)
            PrintError(
                QStringLiteral("%1 readings could not be delivered to the MQTT broker %2%3")
                    .arg(undelivered)
                    .arg(BrokerName(options_),
                         recorded ? QStringLiteral("; they are in the history") : QString()));
        // A broker that never took a single reading: the poll did not do what it was asked.
        if (undelivered > 0 && publisher_->Delivered() == 0 && !publisher_->EverConnected() &&
            exitCode == ExitOk)
            return ExitFailure;
        return exitCode;
    }

private:
    const MqttOptions options_;
    ReadingsService& service_;
    std::unique_ptr<MqttPublisher> publisher_;
    QTimer silence_;
};

// The HTTP side: every reading and the device's state for the API, the page and /metrics.
// Settings sent over HTTP arrive on a connection's thread and are handed to the service on its
// own thread, where they wait for the next gap between two readings like the broker's.
class HttpSink : public QObject, public ReadingSink {
public:
    HttpSink(HttpOptions options, ReadingsService& service, const PortChoice& port)
        : server_(std::move(options)), service_(service), port_(port) {
        server_.SetSettingsHandler(
            [this](const SettingsRequest& request, HttpServer::SettingsDone done) {
                QMetaObject::invokeMethod(
                    &service_,
                    [this, request, done] {
                        service_.RequestSettings(
                            request, SettingsSource::Http, [done](const SettingsAnswer& answer) {
                                done(answer.refusals, answer.kind == SettingsAnswer::Unchanged);
                            });
                    },
                    Qt::QueuedConnection);
            });
        connect(&service_, &ReadingsService::Identified, this,
                [this](const DeviceIdentity& identity) {
                    server_.SetDevice(identity, port_.Display(), true);
                });
        connect(&service_, &ReadingsService::Lost, this, [this] { server_.SetConnected(false); });
        connect(&service_, &ReadingsService::Back, this, [this] { server_.SetConnected(true); });
    }
    ~HttpSink() override { server_.Stop(); }

    bool Start() {
        QString error;
        if (server_.Start(&error))
            return true;
        PrintError(QStringLiteral("cannot serve HTTP: %1 (choose another --http address or port)")
                       .arg(error));
        return false;
    }
    void Take(const Reading& reading) override { server_.Take(reading); }
    HttpServer& Server() { return server_; }
    void SetSinkStatus(std::optional<qint64> mqttQueued, qint64 historyProblems) {
        server_.SetSinkStatus(mqttQueued, historyProblems);
    }

private:
    HttpServer server_;
    ReadingsService& service_;
    const PortChoice port_;
};

// The firmware through the service: the check's outcome and the upgrade's progress in the
// journal, on the HTTP side and in Home Assistant's update entity, and requests from both.

// The upgrade's files in the download folder carry the port's name, so that the pollers of two
// ports never write into one file.
QString FirmwareFileTag(const PortChoice& port) {
    QString name = port.Device().section(QLatin1Char('/'), -1);
    for (QChar& c : name)
        if (!c.isLetterOrNumber() && c != QLatin1Char('-') && c != QLatin1Char('_') &&
            c != QLatin1Char('.'))
            c = QLatin1Char('_');
    return name.isEmpty() ? QStringLiteral("port%1").arg(port.number) : name.left(100);
}

QString SourceText(UpgradeSource source) {
    return source == UpgradeSource::Mqtt ? QStringLiteral("from Home Assistant (MQTT)")
                                         : QStringLiteral("over HTTP");
}

// The journal's lines: those of kdr31-cli upgrade to a pipe, and the check's outcome.
void ReportFirmware(FirmwareService& firmware, Kdr31Device& device, const PortChoice& port,
                    Interrupts& interrupts) {
    firmware.SetJournal(
        [&device, port, &interrupts](const FirmwareUpgrade& upgrade, UpgradeSource source) {
            auto journal =
                std::make_unique<TerminalUpgrade>(device, port, upgrade, interrupts, true, false);
            journal->SetAnsweredBy(QStringLiteral("asked ") + SourceText(source));
            return journal;
        });
    QObject::connect(&firmware, &FirmwareService::CheckFailed, [](const QString& reason) {
        PrintError(QStringLiteral("the firmware check failed (%1); the readings go on, and the "
                                  "check is made again in 24 hours")
                       .arg(reason));
    });
    QObject::connect(&firmware, &FirmwareService::NewVersionListed, [](const FirmwareCheck& check) {
        PrintError(QStringLiteral("firmware V%1 is listed on the firmware server; the KDR31 runs "
                                  "V%2")
                       .arg(VersionText(*check.listed), VersionText(*check.installed)));
    });
    QObject::connect(&firmware, &FirmwareService::UpgradeStarted, [](UpgradeSource source) {
        PrintError(QStringLiteral("firmware upgrade asked for %1: the poll pauses after the "
                                  "reading in progress")
                       .arg(SourceText(source)));
    });
    QObject::connect(
        &firmware, &FirmwareService::UpgradeEnded,
        [&device](const UpgradeProgress& upgrade, bool lookAgain) {
            const bool done = upgrade.outcome == QLatin1String("done");
            QString line =
                done && !lookAgain
                    ? QStringLiteral("firmware upgrade done: ") + IdentityLine(device.Identity())
                : done ? QStringLiteral("the firmware was sent, but the KDR31 did not answer "
                                        "after its reboot")
                       : QStringLiteral("firmware upgrade ended (%1)").arg(upgrade.outcome);
            if (lookAgain)
                line += QStringLiteral("; the KDR31 is looked for again");
            else
                line += QStringLiteral("; the poll goes on");
            PrintError(line);
        });
}

// POST /api/v1/firmware/upgrade arrives on a connection's thread and is handed to the service on
// its own; the firmware's state goes to the HTTP side as it changes.
void ServeFirmware(FirmwareService& firmware, HttpSink& http) {
    HttpServer& server = http.Server();
    server.SetUpgradeHandler([&firmware](HttpServer::UpgradeDone done) {
        QMetaObject::invokeMethod(
            &firmware, [&firmware, done] { firmware.RequestUpgrade(UpgradeSource::Http, done); },
            Qt::QueuedConnection);
    });
    server.SetFirmware(firmware.Status(), false);
    QObject::connect(&firmware, &FirmwareService::Changed, &http,
                     [&server](const FirmwareStatus& status, bool upgradeEvent) {
                         server.SetFirmware(status, upgradeEvent);
                     });
}

// Home Assistant's update entity: its state, and its install command. The state goes out at the
// upgrade's events and at every change outside an upgrade, not at every block.
void PublishFirmware(FirmwareService& firmware, MqttPublisher& publisher) {
    publisher.SetUpgradeHandler([&firmware, &publisher] {
        firmware.RequestUpgrade(UpgradeSource::Mqtt, [&publisher](const UpgradeAnswer& answer) {
            publisher.ReportUpgradeAnswer(answer);
        });
    });
    publisher.PublishFirmwareState(firmware.Status());
    QObject::connect(&firmware, &FirmwareService::Changed, &publisher,
                     [&publisher](const FirmwareStatus& status, bool upgradeEvent) {
                         if (upgradeEvent || !status.UpgradeRunning())
                             publisher.PublishFirmwareState(status);
                     });
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

int RunPoll(const CliRequest& request, Interrupts& interrupts) {
    Kdr31Device device;
    UsePort(device, request.port);
    const ConnectOutcome outcome = device.Connect(request.port.number);
    if (outcome != ConnectOutcome::Connected) {
        const QString text = ConnectFailureText(request.port, outcome, device.Port().LastError());
        device.Disconnect();
        if (!request.wait) {
            PrintError(text);
            return ExitFailure;
        }
        PrintError(text + QStringLiteral("; waiting for the KDR31 (--wait), looking again at "
                                         "growing intervals up to 30 s (Ctrl-C stops)"));
    }
    if (request.format == PollFormat::Csv && !PrintLine(ReadingsCsvHeader()))
        return ExitFailure;

    ReadingsServiceOptions options{request.count, request.wait};
    // For the tests only: a floor under the five seconds, never above them.
    const int testFloor = qEnvironmentVariableIntValue("KDR31_TEST_MIN_INTERVAL_MS");
    if (testFloor >= 100 && testFloor < options.minIntervalMs)
        options.minIntervalMs = testFloor;
    ReadingsService service(device, request.port.number, options);
    QObject::connect(&interrupts, &Interrupts::Interrupted, &service,
                     [&service] { service.Stop(ExitOk); });
    ReportLostAndBack(service.Loop(), request.port);
    // The firmware, where the check's outcome is shown (MQTT, HTTP): checked at the start and
    // once a day, upgraded on request where that is allowed.
    std::unique_ptr<FirmwareService> firmware;
    if (request.mqtt || request.http) {
        firmware = std::make_unique<FirmwareService>(service, device, request.port.number,
                                                     FirmwareFileTag(request.port));
        ReportFirmware(*firmware, device, request.port, interrupts);
        QObject::connect(&interrupts, &Interrupts::Interrupted, firmware.get(), [&firmware] {
            const QString wait = firmware->Stop();
            if (!wait.isEmpty())
                PrintError(wait);
        });
    }

    // The history first: a reading is on disk (queued for it) before anyone else has it.
    std::unique_ptr<HistoryRecorder> recorder;
    std::unique_ptr<HistorySink> history;
    qint64 historyProblems = 0;
    if (!request.noDatabase) {
        recorder = std::make_unique<HistoryRecorder>(
            request.database.isEmpty() ? HistoryStore::DefaultPath() : request.database);
        QObject::connect(
            recorder.get(), &HistoryRecorder::ProblemStarted,
            [&historyProblems](const QString& text) {
                ++historyProblems;
                PrintError(
                    QStringLiteral("history: %1; polling goes on and the readings are written "
                                   "once the database can be written again (choose another "
                                   "with --db PATH, or none with --no-db)")
                        .arg(text));
            });
        QObject::connect(recorder.get(), &HistoryRecorder::Rebuilding,
                         [told = -1](int percent) mutable { PrintRebuildProgress(percent, told); });
        history = std::make_unique<HistorySink>(*recorder);
        service.AddSink(history.get());
    }
    const QString databasePath = request.noDatabase           ? QString()
                                 : request.database.isEmpty() ? HistoryStore::DefaultPath()
                                                              : request.database;
    // The capacity tariff, worked out once per reading for every sink, goes on from the month's
    // peaks and the quarter-hour now in the history.
    service.FanOut().SetCapacityOptions({request.peakTargetW, request.capacityPrice});
    if (!databasePath.isEmpty())
        service.FanOut().SetCapacitySeeder([databasePath](const QString& serial, qint64 now) {
            return ReadCapacitySeed(databasePath, serial, now);
        });
    std::unique_ptr<MqttSink> mqtt;
    if (request.mqtt) {
        mqtt = std::make_unique<MqttSink>(*request.mqtt, service);
        service.AddSink(mqtt.get());
        // At the first identification, which may come late with --wait.
        QObject::connect(&service, &ReadingsService::Identified, mqtt.get(),
                         [&](const DeviceIdentity& identity) {
                             if (!mqtt->Start(identity))
                                 service.Stop(ExitFailure);
                         });
        // Then the update entity, once, and the firmware the device reports at each time.
        QObject::connect(
            &service, &ReadingsService::Identified, mqtt.get(),
            [&mqtt, &firmware, published = false](const DeviceIdentity& identity) mutable {
                MqttPublisher* publisher = mqtt->Publisher();
                if (!publisher)
                    return;
                if (!published) {
                    published = true;
                    PublishFirmware(*firmware, *publisher);
                }
                publisher->SetFirmwareVersion(VersionText(identity.version));
            });
    }
    std::unique_ptr<HttpSink> http;
    if (request.http) {
        HttpOptions options = *request.http;
        options.databasePath = databasePath;
        http = std::make_unique<HttpSink>(options, service, request.port);
        ServeFirmware(*firmware, *http);
        if (!http->Start())
            return ExitFailure;
        service.AddSink(http.get());
        QObject::connect(&service, &ReadingsService::ReadingTaken, http.get(), [&] {
            http->SetSinkStatus(mqtt ? std::optional<qint64>(mqtt->Queued()) : std::nullopt,
                                historyProblems);
        });
    }
    StdoutSink out(request.format, service);
    service.AddSink(&out);

    if (firmware)
        firmware->StartChecks();
    int exitCode = service.Run();
    // The check may still end while the sinks drain: nobody is told any more.
    if (firmware)
        firmware->disconnect();
    device.Disconnect();
    http.reset(); // its event streams end, and no settings request waits any more
    if (mqtt)
        exitCode = mqtt->Finish(exitCode, recorder != nullptr);
    if (recorder) {
        // What is queued is written now; a database still locked after the recorder's wait, or
        // one that never opened, costs readings, and the user hears how many.
        recorder->Stop();
        if (recorder->Unwritten() > 0) {
            // The poll itself did what it was asked (every reading went to standard output and
            // the broker), so the exit code stays; the loss is said.
            PrintError(QStringLiteral("history: %1 readings could not be written (%2)")
                           .arg(recorder->Unwritten())
                           .arg(recorder->Problem()));
        }
    }
    return exitCode;
}
