// Firmware upgrades through the readings service: kdr31-cli poll as a process, asked over HTTP
// and by Home Assistant's update entity on a real Mosquitto, against the test FTP server and the
// simulator's boot loader over a pseudo-terminal. Images of a few blocks: each upgrade still
// waits out the device's 7-second reboot.

#include "support/CliProcess.h"
#include "support/UpgradeRig.h"

#include "cli/Session.h"
#include "device/Kdr31Device.h"
#include "device_link/MSComm.h"
#include "device_link/PortClaim.h"
#include "device_link/ReplyParser.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>
#include <arpa/inet.h>
#include <atomic>
#include <curl/curl.h>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

const QByteArray Token = "kdr31-test-token-0123456789";
const QString Serial = QStringLiteral("KD310042");

size_t Append(char* data, size_t size, size_t count, void* buffer) {
    static_cast<QByteArray*>(buffer)->append(data, qsizetype(size * count));
    return size * count;
}

struct HttpReply {
    long status = 0;
    QByteArray body;
    QJsonObject Json() const { return QJsonDocument::fromJson(body).object(); }
};

// One request to the poller on 127.0.0.1, as curl sends it.
HttpReply Http(const char* method, quint16 port, const char* path, const QByteArray& token = {},
               const QByteArray& body = {}) {
    HttpReply reply;
    CURL* curl = curl_easy_init();
    const QByteArray url = "http://127.0.0.1:" + QByteArray::number(port) + path;
    curl_slist* headers = nullptr;
    if (!token.isEmpty())
        headers = curl_slist_append(headers, "Authorization: Bearer " + token);
    curl_easy_setopt(curl, CURLOPT_URL, url.constData());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method);
    if (qstrcmp(method, "POST") == 0) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.constData());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, long(body.size()));
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Append);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 90L);
    if (curl_easy_perform(curl) == CURLE_OK)
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return reply;
}

QJsonObject Firmware(quint16 port) {
    return Http("GET", port, "/api/v1/firmware").Json();
}

QJsonObject LastUpgrade(quint16 port) {
    return Firmware(port).value("upgrade").toObject();
}

// /api/v1/events, read on a thread of its own for as long as it lives.
class EventStream {
public:
    explicit EventStream(quint16 port) {
        thread_ = std::thread([this, port] {
            CURL* curl = curl_easy_init();
            const QByteArray url =
                "http://127.0.0.1:" + QByteArray::number(port) + "/api/v1/events";
            curl_easy_setopt(curl, CURLOPT_URL, url.constData());
            curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &EventStream::Write);
            curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
            curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
            curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &EventStream::Progress);
            curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
            curl_easy_perform(curl);
            curl_easy_cleanup(curl);
        });
    }
    ~EventStream() {
        stop_ = true;
        thread_.join();
    }
    bool Open() const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return text_.contains("event: reading");
    }
    // The data of every "upgrade" event so far.
    QList<QJsonObject> Upgrades() const {
        const std::lock_guard<std::mutex> lock(mutex_);
        QList<QJsonObject> events;
        const QByteArray head = "event: upgrade\ndata: ";
        for (qsizetype at = text_.indexOf(head); at >= 0; at = text_.indexOf(head, at + 1)) {
            const qsizetype start = at + head.size();
            const qsizetype end = text_.indexOf('\n', start);
            if (end > start)
                events << QJsonDocument::fromJson(text_.mid(start, end - start)).object();
        }
        return events;
    }

private:
    static size_t Write(char* data, size_t size, size_t count, void* self) {
        auto* stream = static_cast<EventStream*>(self);
        const std::lock_guard<std::mutex> lock(stream->mutex_);
        stream->text_.append(data, qsizetype(size * count));
        return size * count;
    }
    static int Progress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        return static_cast<EventStream*>(self)->stop_ ? 1 : 0;
    }

    std::thread thread_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    QByteArray text_;
};

// Tries, again and again, to claim the device from here, as another program of the tool would:
// the service's port must never be free for it while it upgrades.
class ClaimProbe {
public:
    explicit ClaimProbe(const QString& device) {
        thread_ = std::thread([this, device] {
            while (!stop_) {
                PortClaim claim;
                if (claim.Claim(device) == PortClaim::Outcome::Claimed)
                    won_ = true;
                ++tries_;
                std::this_thread::sleep_for(1ms);
            }
        });
    }
    ~ClaimProbe() { Stop(); }
    void Stop() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    bool Won() const { return won_; }
    int Tries() const { return tries_; }

private:
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> won_{false};
    std::atomic<int> tries_{0};
};

// The frames the device received around an upload: no readings command from the first block to
// the identification after the reboot, and one before it and one after it.
QString ReadingsAroundTheUpload(const sim::Kdr31Simulator& device) {
    const std::vector<sim::Received> frames = device.ReceivedFrames();
    size_t first = frames.size();
    size_t finish = frames.size();
    for (size_t i = 0; i < frames.size(); ++i) {
        if (frames[i].command == Command::UploadBlock && first == frames.size())
            first = i;
        if (frames[i].command == Command::UploadFinish)
            finish = i;
    }
    if (first == frames.size() || finish == frames.size())
        return QStringLiteral("no upload");
    size_t identified = finish;
    while (identified < frames.size() && frames[identified].command != Command::Identify)
        ++identified;
    int before = 0;
    int during = 0;
    int after = 0;
    for (size_t i = 0; i < frames.size(); ++i)
        if (frames[i].command == Command::Readings)
            ++(i < first ? before : i < identified ? during : after);
    if (before == 0 || during != 0 || after == 0 || identified == frames.size())
        return QStringLiteral("readings before %1, during %2, after %3")
            .arg(before)
            .arg(during)
            .arg(after);
    return {};
}

// The firmware server, a device behind a link, and the poller with the given options.
struct ServiceRig {
    FtpServer server;
    LinkedDevice kdr31;
    QTemporaryDir dir;
    quint16 httpPort = 0;
    std::unique_ptr<Cli> poller;

    // withList: the server has the version list (otherwise AddFile it later).
    bool Serve(const QByteArray& hexFile, bool withList = true) {
        if (!server.IsRunning() ||
            (withList && !server.AddFile("TAMO_UPGlist.bin", UpgradeList(ListVersion))) ||
            !server.AddFile("KDR31v2.hex", hexFile))
            return false;
        server.UseAsFirmwareServer();
        if (!kdr31.Start(1))
            return false;
        kdr31.device->SetRebootTime(1500ms);
        QFile token(dir.filePath("token"));
        return token.open(QIODevice::WriteOnly) && token.write(Token + '\n') > 0 &&
               token.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    }
    // Starts the poller, and waits for its first readings and, with HTTP, its firmware check.
    bool Poll(QStringList options) {
        if (options.contains("--http")) {
            httpPort = FreePort();
            options.replace(options.indexOf("--http") + 1,
                            QStringLiteral("127.0.0.1:%1").arg(httpPort));
        }
        poller = std::make_unique<Cli>(
            QStringList{"poll", "--port", kdr31.link, "--no-db", "--format", "json"} + options);
        if (!poller->WaitUntil([&] { return poller->OutLines().size() >= 2; }))
            return false;
        if (httpPort == 0)
            return true;
        QElapsedTimer waited;
        waited.start();
        while (Firmware(httpPort).value("checked_at").isNull() && waited.elapsed() < 10000)
            QTest::qWait(50);
        return !Firmware(httpPort).value("checked_at").isNull();
    }
    QString TokenFile() const { return dir.filePath("token"); }
};

} // namespace

class TestServiceUpgrade : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QVERIFY(PrepareUpgradeTests(cache_));
        MapPorts({});
    }
    void cleanupTestCase() { curl_global_cleanup(); }

    void upgradeOverHttp();
    void upgradeFromHomeAssistant();
    void refusedWithNothingSent();
    void cablePulledDuringTheBlocks();
    void claimHeldAcrossAReopen();
    void heldByTheServiceNamesTheWays();

private:
    QTemporaryDir cache_;
};

// The whole upgrade asked for with curl: the check before it, the token, the answer once the
// blocks go out, a second request refused meanwhile, the port never free, no reading during it,
// the image the boot loader got byte for byte, its events, its lines in the journal, and the
// device running the listed version afterwards, which a further request is told.
void TestServiceUpgrade::upgradeOverHttp() {
    ServiceRig rig;
    const QByteArray image = TestImage(500, 3);
    QVERIFY2(rig.Serve(HexFileOf(image)), qPrintable(rig.server.Error()));
    QVERIFY2(rig.Poll({"--http", "", "--http-allow-upgrade", "--http-token-file", rig.TokenFile()}),
             rig.poller ? rig.poller->err.constData() : "");
    const quint16 port = rig.httpPort;

    QJsonObject firmware = Firmware(port);
    QCOMPARE(firmware.value("installed").toString(), QStringLiteral("1.2.3.4"));
    QCOMPARE(firmware.value("listed").toString(), QStringLiteral("1.2.4.0"));
    QVERIFY(firmware.value("update_available").toBool());
    QVERIFY(firmware.value("upgrade_over_http").toBool());
    QVERIFY(Http("GET", port, "/metrics").body.contains("kdr31_firmware_update_available 1\n"));

    QCOMPARE(Http("POST", port, "/api/v1/firmware/upgrade").status, 401L);
    QCOMPARE(Http("POST", port, "/api/v1/firmware/upgrade", Token, "ftp://elsewhere/x.hex").status,
             400L);
    QVERIFY(rig.kdr31.device->ReceivedFrames(Command::UploadBlock).empty());

    EventStream events(port);
    QTRY_VERIFY_WITH_TIMEOUT(events.Open(), 5000);
    ClaimProbe probe(rig.kdr31.link);
    const HttpReply started = Http("POST", port, "/api/v1/firmware/upgrade", Token);
    QCOMPARE(started.status, 202L);
    QCOMPARE(started.Json().value("answer").toString(), QStringLiteral("started"));
    const HttpReply second = Http("POST", port, "/api/v1/firmware/upgrade", Token);
    QCOMPARE(second.status, 409L);
    QVERIFY(Http("GET", port, "/metrics").body.contains("kdr31_upgrade_in_progress 1\n"));
    QTRY_VERIFY_WITH_TIMEOUT(!LastUpgrade(port).value("running").toBool(true), 30000);
    probe.Stop();
    QVERIFY2(!probe.Won(), "another program could claim the port during the upgrade");
    QVERIFY(probe.Tries() > 1000);

    const QJsonObject upgrade = LastUpgrade(port);
    QCOMPARE(upgrade.value("outcome").toString(), QStringLiteral("done"));
    QCOMPARE(upgrade.value("source").toString(), QStringLiteral("http"));
    const sim::BootLoaderState boot = rig.kdr31.device->BootLoader();
    QVERIFY(boot.flashed);
    QCOMPARE(FromBytes(boot.flashedImage), image + QByteArray(12, '\0'));
    QCOMPARE(boot.flashedVersion, ListVersion);
    QTRY_VERIFY_WITH_TIMEOUT(ReadingsAroundTheUpload(*rig.kdr31.device).isEmpty(), 5000);
    QCOMPARE(Firmware(port).value("installed").toString(), QStringLiteral("1.2.4.0"));

    // An event at each phase, in order, and at each further 5 % of the 4 blocks.
    QStringList phases;
    QList<int> percents;
    for (const QJsonObject& event : events.Upgrades()) {
        const QJsonObject u = event.value("upgrade").toObject();
        if (phases.isEmpty() || phases.last() != u.value("phase").toString())
            phases << u.value("phase").toString();
        if (u.value("phase").toString() == QLatin1String("sending_blocks") &&
            (percents.isEmpty() || percents.last() != u.value("percent").toInt()))
            percents << u.value("percent").toInt();
    }
    QCOMPARE(phases,
             (QStringList{"starting", "checking", "confirming", "downloading", "converting",
                          "sending_blocks", "finishing", "rebooting", "reconnecting", "idle"}));
    QCOMPARE(percents, (QList<int>{0, 25, 50, 75, 100}));

    // The journal has kdr31-cli upgrade's lines.
    rig.poller->Collect();
    for (const QString& line :
         {QStringLiteral("Are you sure to download latest firmware V1.2.4.0 and upload to KDR31? "
                         "yes (asked over HTTP)"),
          QStringLiteral("Sending block 4/4"), UpgradeText::Rebooting})
        QVERIFY2(rig.poller->ErrLines().contains(line), rig.poller->err.constData());

    const size_t blocks = rig.kdr31.device->ReceivedFrames(Command::UploadBlock).size();
    const HttpReply again = Http("POST", port, "/api/v1/firmware/upgrade", Token);
    QCOMPARE(again.status, 200L);
    QCOMPARE(again.Json().value("message").toString(), UpgradeText::AlreadyLatest);
    QCOMPARE(rig.kdr31.device->ReceivedFrames(Command::UploadBlock).size(), blocks);
    rig.poller->Interrupt();
    QCOMPARE(rig.poller->Finish(), 0);
}

// Home Assistant's update entity: its discovery config field by field against the documented
// MQTT update schema and the sensors' conventions, its state before, during and after, and an
// install command that upgrades the device; a second one meanwhile is answered busy.
void TestServiceUpgrade::upgradeFromHomeAssistant() {
    ServiceRig rig;
    MqttBroker broker;
    QVERIFY2(broker.IsRunning(), qPrintable(broker.Error()));
    MqttSubscriber subscriber(broker.Port(), "#");
    QVERIFY(subscriber.WaitSubscribed(5s));
    const QByteArray image = TestImage(300, 4);
    QVERIFY(rig.Serve(HexFileOf(image)));
    QVERIFY2(rig.Poll({"--mqtt", broker.Url(), "--mqtt-allow-upgrade"}),
             rig.poller ? rig.poller->err.constData() : "");
    const QString configTopic = "homeassistant/update/kdr31_KD310042/firmware/config";
    const QString stateTopic = "kdr31/KD310042/firmware";
    const QString installTopic = "kdr31/KD310042/firmware/install";
    const QString resultTopic = "kdr31/KD310042/firmware/result";
    QVERIFY(subscriber.WaitFor(configTopic, 1, 10s));
    const auto state = [&] {
        return QJsonDocument::fromJson(subscriber.Last(stateTopic)).object();
    };
    QTRY_COMPARE_WITH_TIMEOUT(state().value("latest_version").toString(), QStringLiteral("1.2.4.0"),
                              10000);

    // Only the schema's keys, of the schema's types; the device and availability of the sensors.
    const QJsonObject config = QJsonDocument::fromJson(subscriber.Last(configTopic)).object();
    const QJsonObject sensor =
        QJsonDocument::fromJson(subscriber.Last("homeassistant/sensor/kdr31_KD310042/"
                                                "import_power_w/config"))
            .object();
    const QStringList documented{"availability",
                                 "availability_mode",
                                 "availability_template",
                                 "availability_topic",
                                 "command_topic",
                                 "device",
                                 "device_class",
                                 "display_precision",
                                 "enabled_by_default",
                                 "encoding",
                                 "entity_category",
                                 "entity_picture",
                                 "json_attributes_template",
                                 "json_attributes_topic",
                                 "latest_version_template",
                                 "latest_version_topic",
                                 "name",
                                 "default_entity_id",
                                 "payload_install",
                                 "platform",
                                 "qos",
                                 "release_summary",
                                 "release_url",
                                 "retain",
                                 "state_topic",
                                 "title",
                                 "unique_id",
                                 "value_template"};
    const QStringList deviceKeys{"configuration_url", "connections",    "hw_version", "identifiers",
                                 "manufacturer",      "model",          "model_id",   "name",
                                 "serial_number",     "suggested_area", "sw_version", "via_device"};
    for (const QString& key : config.keys())
        QVERIFY2(documented.contains(key), qPrintable(key));
    // "platform" belongs to device-based discovery only.
    QVERIFY(!config.contains("platform"));
    for (const char* key : {"name", "unique_id", "state_topic", "command_topic", "payload_install",
                            "availability_topic", "title", "entity_category"})
        QVERIFY2(config.value(key).isString() && !config.value(key).toString().isEmpty(), key);
    QCOMPARE(config.value("device_class").toString(), QStringLiteral("firmware"));
    QVERIFY(
        QStringList({"config", "diagnostic"}).contains(config.value("entity_category").toString()));
    QCOMPARE(config.value("qos").toInt(-1), 1);
    QCOMPARE(config.value("state_topic").toString(), stateTopic);
    QCOMPARE(config.value("command_topic").toString(), installTopic);
    QCOMPARE(config.value("payload_install").toString(), QStringLiteral("install"));
    for (const QString& key : config.value("device").toObject().keys())
        QVERIFY2(deviceKeys.contains(key), qPrintable(key));
    QCOMPARE(config.value("device"), sensor.value("device"));
    QCOMPARE(config.value("availability_topic"), sensor.value("availability_topic"));
    // The availability words are Home Assistant's defaults, which the topic alone implies.
    QCOMPARE(sensor.value("payload_available").toString(), QStringLiteral("online"));
    QCOMPARE(sensor.value("payload_not_available").toString(), QStringLiteral("offline"));
    MqttSubscriber late(broker.Port(), configTopic);
    QVERIFY(late.WaitFor(configTopic, 1, 5s));
    QVERIFY(late.Messages(configTopic).front().retained);

    QJsonObject before = state();
    QCOMPARE(before.value("installed_version").toString(), QStringLiteral("1.2.3.4"));
    QCOMPARE(before.value("in_progress").toBool(true), false);
    QVERIFY(before.value("update_percentage").isNull());

    QVERIFY(subscriber.Publish(installTopic, "install", 5s));
    QVERIFY(subscriber.WaitFor(resultTopic, 1, 20s));
    QCOMPARE(QJsonDocument::fromJson(subscriber.Last(resultTopic)).object().value("answer"),
             QJsonValue("started"));
    QVERIFY(subscriber.Publish(installTopic, "install", 5s));
    QVERIFY(subscriber.WaitFor(resultTopic, 2, 5s));
    QCOMPARE(QJsonDocument::fromJson(subscriber.Last(resultTopic)).object().value("answer"),
             QJsonValue("busy"));
    QTRY_COMPARE_WITH_TIMEOUT(state().value("installed_version").toString(),
                              QStringLiteral("1.2.4.0"), 30000);
    QCOMPARE(state().value("in_progress").toBool(true), false);
    QList<int> percents;
    for (const MqttReceived& message : subscriber.Messages(stateTopic)) {
        const QJsonObject s = QJsonDocument::fromJson(message.payload).object();
        const int percent = s.value("update_percentage").toInt(-1);
        if (s.value("in_progress").toBool() && percent >= 0 &&
            (percents.isEmpty() || percents.last() != percent))
            percents << percent;
    }
    QCOMPARE(percents, (QList<int>{0, 33, 66, 100}));

    QCOMPARE(FromBytes(rig.kdr31.device->BootLoader().flashedImage), image + QByteArray(84, '\0'));
    QTRY_VERIFY_WITH_TIMEOUT(ReadingsAroundTheUpload(*rig.kdr31.device).isEmpty(), 5000);
    // The device's new firmware in the discovery configs.
    QTRY_COMPARE_WITH_TIMEOUT(QJsonDocument::fromJson(subscriber.Last(configTopic))
                                  .object()
                                  .value("device")
                                  .toObject()
                                  .value("sw_version")
                                  .toString(),
                              QStringLiteral("1.2.4.0"), 5000);
    rig.poller->Interrupt();
    QCOMPARE(rig.poller->Finish(), 0);
}

// A check that finds no version list: one line, the reason kept, the readings go on. Both allow
// flags off: no button in Home Assistant, no command heard, 403 over HTTP. Then a damaged image
// on the firmware server: refused with the reason, nothing sent, and the poll goes on. An install
// message that is not the entity's, or handed over as retained, is refused.
void TestServiceUpgrade::refusedWithNothingSent() {
    ServiceRig rig;
    MqttBroker broker;
    QVERIFY2(broker.IsRunning(), qPrintable(broker.Error()));
    MqttSubscriber subscriber(broker.Port(), "#");
    QVERIFY(subscriber.WaitSubscribed(5s));
    QByteArray damaged = HexFileOf(TestImage(300, 5));
    damaged[20] = damaged.at(20) == '0' ? '1' : '0';
    QVERIFY(rig.Serve(damaged, false));
    const QString configTopic = "homeassistant/update/kdr31_KD310042/firmware/config";
    const QString installTopic = "kdr31/KD310042/firmware/install";
    const QString resultTopic = "kdr31/KD310042/firmware/result";

    QVERIFY(rig.Poll({"--http", "", "--http-token-file", rig.TokenFile(), "--mqtt", broker.Url()}));
    QVERIFY(subscriber.WaitFor(configTopic, 1, 10s));
    const QJsonObject config = QJsonDocument::fromJson(subscriber.Last(configTopic)).object();
    QVERIFY(!config.contains("command_topic") && !config.contains("payload_install"));
    QVERIFY(!Firmware(rig.httpPort).value("upgrade_over_http").toBool(true));
    const QJsonObject unchecked = Firmware(rig.httpPort);
    QVERIFY2(unchecked.value("check_error").toString().contains("TAMO_UPGlist.bin"),
             QJsonDocument(unchecked).toJson().constData());
    QVERIFY(unchecked.value("listed").isNull() && !unchecked.value("update_available").toBool());
    QVERIFY(
        !Http("GET", rig.httpPort, "/metrics").body.contains("kdr31_firmware_update_available"));
    const HttpReply forbidden = Http("POST", rig.httpPort, "/api/v1/firmware/upgrade", Token);
    QCOMPARE(forbidden.status, 403L);
    QVERIFY(forbidden.body.contains("--http-allow-upgrade"));
    QVERIFY(subscriber.Publish(installTopic, "install", 5s));
    const qsizetype readings = rig.poller->OutLines().size();
    QVERIFY(rig.poller->WaitUntil([&] { return rig.poller->OutLines().size() >= readings + 2; }));
    QCOMPARE(subscriber.Count(resultTopic), size_t(0));
    QVERIFY(!rig.poller->err.contains("firmware upgrade asked"));
    QCOMPARE(rig.poller->ErrLines().filter("the firmware check failed").size(), 1);
    rig.poller->Interrupt();
    QCOMPARE(rig.poller->Finish(), 0);
    QVERIFY(rig.server.AddFile("TAMO_UPGlist.bin", UpgradeList(ListVersion)));

    QVERIFY(subscriber.Publish(installTopic, "install", 5s, true));
    QVERIFY(rig.Poll({"--http", "", "--http-allow-upgrade", "--http-token-file", rig.TokenFile(),
                      "--mqtt", broker.Url(), "--mqtt-allow-upgrade"}));
    // The retained install the broker keeps from before is refused, not acted on.
    QVERIFY(subscriber.WaitFor(resultTopic, 1, 10s));
    QVERIFY(subscriber.Last(resultTopic).contains("retained"));
    QVERIFY(subscriber.Publish(installTopic, "", 5s, true)); // cleared on the broker
    QVERIFY(subscriber.Publish(installTopic, "1.2.4.0", 5s));
    QTRY_VERIFY_WITH_TIMEOUT(subscriber.Last(resultTopic).contains("alone"), 10000);

    const HttpReply refused = Http("POST", rig.httpPort, "/api/v1/firmware/upgrade", Token);
    QCOMPARE(refused.status, 502L);
    QCOMPARE(refused.Json().value("message").toString(), UpgradeText::ChecksumErrors);
    QCOMPARE(LastUpgrade(rig.httpPort).value("outcome").toString(),
             QStringLiteral("image_refused"));
    QVERIFY(rig.kdr31.device->ReceivedFrames(Command::UploadBlock).empty());
    QVERIFY(rig.kdr31.device->ReceivedFrames(Command::UploadFinish).empty());
    const qsizetype after = rig.poller->OutLines().size();
    QVERIFY(rig.poller->WaitUntil([&] { return rig.poller->OutLines().size() >= after + 2; }));
    QVERIFY2(rig.poller->err.contains("firmware upgrade ended (image_refused); the poll goes on"),
             rig.poller->err.constData());
    rig.poller->Interrupt();
    QCOMPARE(rig.poller->Finish(), 0);
}

// The cable pulled during the blocks: the upgrade says what failed, the device is looked for as
// after any pulled cable, and the poll goes on once it is back.
void TestServiceUpgrade::cablePulledDuringTheBlocks() {
    ServiceRig rig;
    QVERIFY(rig.Serve(HexFileOf(TestImage(20 * UploadBlockBytes, 6))));
    QVERIFY(rig.Poll({"--http", "", "--http-allow-upgrade", "--http-token-file", rig.TokenFile()}));
    QCOMPARE(Http("POST", rig.httpPort, "/api/v1/firmware/upgrade", Token).status, 202L);
    QVERIFY(rig.kdr31.device->WaitForFrames(Command::UploadBlock, 3, 10s));
    rig.kdr31.Pull();
    QTRY_VERIFY_WITH_TIMEOUT(!LastUpgrade(rig.httpPort).value("running").toBool(true), 10000);
    const QJsonObject upgrade = LastUpgrade(rig.httpPort);
    QCOMPARE(upgrade.value("outcome").toString(), QStringLiteral("upload_failed"));
    QCOMPARE(upgrade.value("message").toString(), UpgradeText::UploadFailed);
    QVERIFY(rig.poller->WaitUntil([&] { return rig.poller->err.contains("lost the KDR31"); }));
    QVERIFY2(rig.poller->err.contains("firmware upgrade ended (upload_failed); the KDR31 is "
                                      "looked for again"),
             rig.poller->err.constData());
    QVERIFY(!Http("GET", rig.httpPort, "/api/v1/device").Json().value("connected").toBool(true));

    QVERIFY(rig.kdr31.Start(1));
    QVERIFY2(rig.poller->WaitUntil([&] { return rig.poller->err.contains("is back"); }),
             rig.poller->err.constData());
    const qsizetype lines = rig.poller->OutLines().size();
    QVERIFY(rig.poller->WaitUntil([&] { return rig.poller->OutLines().size() >= lines + 2; }));
    rig.poller->Interrupt();
    QCOMPARE(rig.poller->Finish(), 0);
}

// A port closed while its claim is held stays claimed, opens again under that claim, and is
// free once the claim is let go of.
void TestServiceUpgrade::claimHeldAcrossAReopen() {
    LinkedDevice kdr31;
    QVERIFY(kdr31.Start(10));
    Kdr31Device device;
    device.SetDevicePathOverride(kdr31.link);
    QCOMPARE(device.Connect(1), ConnectOutcome::Connected);
    MSComm& port = device.Port();
    const auto claimable = [&] {
        PortClaim other;
        return other.Claim(kdr31.link) == PortClaim::Outcome::Claimed;
    };
    port.HoldClaim(true);
    device.ClosePort();
    QVERIFY(!port.PortOpen());
    QVERIFY(!claimable());
    device.Disconnect();
    QCOMPARE(device.Connect(1), ConnectOutcome::Connected);
    QVERIFY(!claimable());
    port.HoldClaim(false);
    QVERIFY(!claimable()); // open: the claim stays with the port
    device.Disconnect();
    QVERIFY(claimable());
    port.HoldClaim(true);
    port.HoldClaim(false); // closed already: nothing is held
    QVERIFY(claimable());
}

// kdr31-cli upgrade on the service's port: the curl command as the service's configuration file
// makes it, runnable as it stands, or what the file lacks; Home Assistant; stopping it.
void TestServiceUpgrade::heldByTheServiceNamesTheWays() {
    const QString unit = QStringLiteral("kdr31-mqtt@ttyUSB0");
    const QString holder = QStringLiteral("kdr31-cli (pid 42)");
    const QByteArray configured = "mqtt = mqtt://kdr31@homeassistant.local\n"
                                  "mqtt-allow-upgrade\n"
                                  "http = 0.0.0.0:8031\n"
                                  "http-token-file = /etc/kdr31/Bob's token\n"
                                  "# http-token-file = /etc/kdr31/old\n"
                                  "http-allow-upgrade\n";
    QCOMPARE(HeldByServiceText(unit, holder, configured, false),
             QStringLiteral("the port is held by the readings service kdr31-mqtt@ttyUSB0 "
                            "(kdr31-cli (pid 42)), which upgrades the KDR31 itself between two "
                            "readings:\n"
                            "  with curl: curl -X POST -H \"Authorization: Bearer $(sudo cat "
                            "'/etc/kdr31/Bob'\\''s token')\" "
                            "http://127.0.0.1:8031/api/v1/firmware/upgrade\n"
                            "  from Home Assistant: the KDR31's Firmware update, Install\n"
                            "  or stop the service first: sudo systemctl stop kdr31-mqtt@ttyUSB0"));
    // A file it may not read, or one without the options: what to add where.
    const QString bare = HeldByServiceText(unit, holder, QByteArray(), true);
    QVERIFY2(bare.contains("$(cat '/etc/kdr31/http token')\" http://127.0.0.1:8031/api/v1/firmware/"
                           "upgrade (once /etc/kdr31/ttyUSB0.conf holds http, http-token-file and "
                           "http-allow-upgrade)"),
             qPrintable(bare));
    QVERIFY2(bare.contains("Install (once /etc/kdr31/ttyUSB0.conf holds mqtt and "
                           "mqtt-allow-upgrade)"),
             qPrintable(bare));
}

QTEST_MAIN(TestServiceUpgrade)
#include "test_service_upgrade.moc"
