// kdr31-cli as a user runs it: the built program started as a process against a simulated KDR31
// on a pseudo-terminal, reached through a link the way /dev/serial/by-id/... reaches an adapter,
// and against a real FTP server and a real MQTT broker on 127.0.0.1.
//
// KDR31_CLI_UNDER_TEST names another build of the program, KDR31_CLI_EMULATOR what runs it: the
// ARM build for the Raspberry Pi under qemu-user, against this machine's simulator and broker.

#include "support/MqttBroker.h"
#include "support/UpgradeRig.h"

#include "Version.h"
#include "device_link/ReplyParser.h"
#include "readings/ReadingsFormat.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <memory>

namespace {

using namespace std::chrono_literals;

const std::array<float, 13> FixedReadings = {200,  1234.5f, 1000,  3, 0, 10, 20,
                                             0.5f, 12.25f,  0.01f, 1, 5, 7};

// A simulated KDR31 behind a link that can be pointed at a new one, as an adapter that is
// pulled out and plugged in again comes back under the same by-id path.
struct LinkedDevice {
    QTemporaryDir dir;
    std::unique_ptr<sim::Kdr31Simulator> device;
    QString link = dir.filePath(QStringLiteral("kdr31"));

    bool Start(int interval = 1) {
        device = std::make_unique<sim::Kdr31Simulator>();
        if (!device->Start())
            return false;
        device->SetReadings(FixedReadings);
        sim::DeviceSettings settings;
        settings.interval = std::uint8_t(interval);
        device->SetSettings(settings);
        QFile::remove(link);
        return QFile::link(QString::fromStdString(device->PortPath()), link);
    }
    size_t Frames(std::uint8_t command) const { return device->ReceivedFrames(command).size(); }
};

// The program running, with what it wrote so far.
struct Cli {
    QProcess process;
    QByteArray out;
    QByteArray err;

    explicit Cli(const QStringList& arguments) {
        // The user's own history stays out of the tests: polls without --db record here.
        static QTemporaryDir dataHome;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_DATA_HOME"), dataHome.path());
        process.setProcessEnvironment(environment);
        const QString program = qEnvironmentVariable("KDR31_CLI_UNDER_TEST", KDR31_CLI_PATH);
        const QString emulator = qEnvironmentVariable("KDR31_CLI_EMULATOR");
        process.setProgram(emulator.isEmpty() ? program : emulator);
        process.setArguments(emulator.isEmpty() ? arguments : QStringList{program} + arguments);
        process.start();
    }
    ~Cli() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
    void Collect() {
        out += process.readAllStandardOutput();
        err += process.readAllStandardError();
    }
    // Waits (bounded) until what was written satisfies done.
    bool WaitUntil(const std::function<bool()>& done, int ms = 15000) {
        QElapsedTimer timer;
        timer.start();
        for (Collect(); !done(); Collect()) {
            if (timer.elapsed() > ms || process.state() == QProcess::NotRunning)
                return false;
            process.waitForReadyRead(100);
        }
        return true;
    }
    // The exit code, or -1 when the program did not end in time or crashed.
    int Finish(int ms = 30000) {
        const bool ended = process.waitForFinished(ms);
        Collect();
        if (!ended || process.exitStatus() != QProcess::NormalExit)
            return -1;
        return process.exitCode();
    }
    void Interrupt() { ::kill(pid_t(process.processId()), SIGINT); }
    QStringList OutLines() const {
        return QString::fromUtf8(out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    QStringList ErrLines() const {
        return QString::fromUtf8(err).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
};

} // namespace

class TestCli : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        const QString underTest = qEnvironmentVariable("KDR31_CLI_UNDER_TEST");
        if (!underTest.isEmpty() && !QFile::exists(underTest))
            QSKIP(qPrintable(QStringLiteral("no cross build at ") + underTest));
        QVERIFY(PrepareUpgradeTests(cache_));
        MapPorts({});
    }
    void cleanupTestCase() { curl_global_cleanup(); }

    void versionAndPollJson();
    void info();
    void pollCsv();
    void setRefusesOutOfRange();
    void pollSurvivesPulledCable();
    void upgradeFromHexFile();
    void upgradeOnline();
    void ctrlCCancelsUpload();
    void pollRecordsHistoryForExport();
    void pollPublishesToMqtt();
    void mqttSettingsAndAvailability();
    void pollReadsConfigFile();

private:
    QTemporaryDir cache_;
};

// The version of this build, and poll's JSON: one object per line and reading.
void TestCli::versionAndPollJson() {
    Cli version({"--version"});
    QCOMPARE(version.Finish(), 0);
    QCOMPARE(version.out, QByteArray("kdr31-cli " KDR31_VERSION_STRING "\n"));

    LinkedDevice kdr31;
    QVERIFY(kdr31.Start(1));
    Cli cli({"poll", "--port", kdr31.link, "--count", "3", "--format", "json", "--no-db"});
    QCOMPARE(cli.Finish(), 0);
    QCOMPARE(cli.OutLines().size(), 3);
    for (const QString& line : cli.OutLines()) {
        QJsonParseError error;
        const QJsonObject reading = QJsonDocument::fromJson(line.toUtf8(), &error).object();
        QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(line));
        QCOMPARE(reading.value("serial").toString(), QStringLiteral("KD310042"));
        QCOMPARE(reading.value("status").toString(), QStringLiteral("ok"));
        QCOMPARE(reading.value("import_high_wh").toDouble(), 1234.5);
        QCOMPARE(reading.value("extern2").toDouble(), 7.0);
    }
    QCOMPARE(kdr31.Frames(Command::Readings), size_t(3));
}

// The port as a number mapped through KDR31_COM<k>, and as a device path.
void TestCli::info() {
    LinkedDevice kdr31;
    QVERIFY(kdr31.Start(10));
    MapPorts({{3, kdr31.link.toStdString()}});

    Cli byNumber({"info", "--port", "COM3"});
    QCOMPARE(byNumber.Finish(), 0);
    QVERIFY2(byNumber.out.contains("Firmware:  V1.2.3.4\nSerial:    KD310042\nRefresh:   10 sec."),
             byNumber.out.constData());

    Cli byPath({"info", "--json", "--port", kdr31.link});
    QCOMPARE(byPath.Finish(), 0);
    const QJsonObject json = QJsonDocument::fromJson(byPath.out).object();
    QCOMPARE(json.value("firmware").toString(), QStringLiteral("1.2.3.4"));
    QCOMPARE(json.value("serial").toString(), QStringLiteral("KD310042"));
    QCOMPARE(json.value("interval").toInt(), 10);
    QCOMPARE(json.value("country").toString(), QStringLiteral("nl"));
    QCOMPARE(json.value("protocol").toInt(), 5);

    // No device behind the port: one line that says what to do, exit 1.
    Cli missing({"info", "--port", "7"});
    QCOMPARE(missing.Finish(), 1);
    QCOMPARE(missing.ErrLines().size(), 1);
    QVERIFY2(missing.err.contains("kdr31-cli ports"), missing.err.constData());
    MapPorts({});
}

void TestCli::pollCsv() {
    LinkedDevice kdr31;
    QVERIFY(kdr31.Start(1));
    QElapsedTimer timer;
    timer.start();
    Cli cli({"poll", "--port", kdr31.link, "--count", "3", "--format", "csv"});
    QCOMPARE(cli.Finish(), 0);
    const QStringList lines = cli.OutLines();
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines.at(0), ReadingsCsvHeader());
    for (int i = 1; i <= 3; ++i) {
        const QStringList cells = lines.at(i).split(QLatin1Char(','));
        QCOMPARE(cells.size(), 16);
        QVERIFY(QDateTime::fromString(cells.at(0), Qt::ISODate).isValid());
        QCOMPARE(cells.mid(1), (QStringList{"KD310042", "ok", "200", "1234.5", "1000", "3", "0",
                                            "10", "20", "0.5", "12.25", "0.01", "1", "5", "7"}));
    }
    QCOMPARE(kdr31.Frames(Command::Readings), size_t(3));
    // At the device's interval of 1 s: the first reading at once, then one a second.
    QVERIFY2(timer.elapsed() >= 2000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(cli.err, QByteArray());
}

void TestCli::setRefusesOutOfRange() {
    LinkedDevice kdr31;
    QVERIFY(kdr31.Start(10));
    for (const QStringList& option :
         {QStringList{"--interval", "61"}, QStringList{"--divider", "0"},
          QStringList{"--country", "de"}, QStringList{"--protocol", "3"}}) {
        Cli refused(QStringList{"set", "--port", kdr31.link} + option);
        QCOMPARE(refused.Finish(), 2);
        QCOMPARE(refused.ErrLines().size(), 1);
        QVERIFY2(refused.err.contains("nothing was sent"), refused.err.constData());
    }
    QVERIFY(kdr31.device->ReceivedFrames().empty());

    // Values within range go out together, and what the device then reports is printed.
    Cli set({"set", "--port", kdr31.link, "--interval", "30", "--country", "be"});
    QCOMPARE(set.Finish(), 0);
    QCOMPARE(kdr31.Frames(Command::Settings), size_t(1));
    QCOMPARE(kdr31.device->ReceivedFrames(Command::Settings).front().payload,
             (sim::Bytes{30, 2, 5, 1}));
    QVERIFY2(set.out.contains("Refresh:   30 sec.") && set.out.contains("Country:   België"),
             set.out.constData());
}

// A cable pulled out during a poll: a line on standard error, no reading lines while the device
// is away, polling again once it is back, and Ctrl-C ends it with every line complete.
void TestCli::pollSurvivesPulledCable() {
    LinkedDevice kdr31;
    QVERIFY(kdr31.Start(1));
    Cli cli({"poll", "--port", kdr31.link, "--format", "json"});
    QVERIFY2(cli.WaitUntil([&] { return cli.OutLines().size() >= 2; }), cli.err.constData());

    kdr31.device->HangUp();
    QVERIFY2(cli.WaitUntil([&] { return cli.err.contains("lost the KDR31"); }),
             cli.err.constData());
    const int linesWhileAway = int(cli.OutLines().size());
    QTest::qWait(1500);
    cli.Collect();
    QCOMPARE(cli.OutLines().size(), linesWhileAway);

    QVERIFY(kdr31.Start(1));
    QVERIFY2(cli.WaitUntil([&] { return cli.err.contains("is back"); }), cli.err.constData());
    QVERIFY(cli.WaitUntil([&] { return cli.OutLines().size() >= linesWhileAway + 2; }));

    cli.Interrupt();
    QCOMPARE(cli.Finish(), 0);
    QCOMPARE(cli.ErrLines().size(), 2);
    QVERIFY(cli.out.endsWith('\n'));
    for (const QString& line : cli.OutLines()) {
        const QJsonObject reading = QJsonDocument::fromJson(line.toUtf8()).object();
        QCOMPARE(reading.value("status").toString(), QStringLiteral("ok"));
        QCOMPARE(reading.value("import_power_w").toDouble(), 200.0);
    }
}

void TestCli::upgradeFromHexFile() {
    LinkedDevice kdr31;
    QVERIFY(kdr31.Start(10));
    kdr31.device->SetRebootTime(std::chrono::milliseconds(1500));
    QTemporaryDir dir;
    const QString hexPath = dir.filePath("image.hex");
    const QByteArray image = TestImage(1000);
    QFile hex(hexPath);
    QVERIFY(hex.open(QIODevice::WriteOnly));
    hex.write(HexFileOf(image));
    hex.close();
    const QStringList upgrade{"upgrade", "--port",          kdr31.link, "--hex",
                              hexPath,   "--image-version", "1.2.4.0"};

    // Standard input is not a terminal: without --yes nothing is asked and nothing happens.
    Cli unasked(upgrade);
    QCOMPARE(unasked.Finish(), 2);
    QVERIFY2(unasked.err.contains("--yes"), unasked.err.constData());
    QVERIFY(kdr31.device->ReceivedFrames().empty());

    Cli cli(upgrade + QStringList{"--yes"});
    QCOMPARE(cli.Finish(60000), 0);
    QCOMPARE(cli.OutLines(), QStringList{"KDR31 FW V1.2.4.0 s/n:KD310042"});
    // Not a terminal: a plain line per step.
    QVERIFY2(cli.ErrLines().contains("Sending block 8/8") &&
                 cli.ErrLines().contains(UpgradeText::Rebooting),
             cli.err.constData());
    const sim::BootLoaderState boot = kdr31.device->BootLoader();
    QVERIFY(boot.flashed);
    QCOMPARE(FromBytes(boot.flashedImage), image + QByteArray(24, '\0'));

    // A damaged image is refused before anything is sent.
    QByteArray damaged = HexFileOf(image);
    damaged[20] = damaged.at(20) == '0' ? '1' : '0';
    QVERIFY(hex.open(QIODevice::WriteOnly | QIODevice::Truncate));
    hex.write(damaged);
    hex.close();
    kdr31.device->ClearReceived();
    Cli refused(upgrade + QStringList{"--yes"});
    QCOMPARE(refused.Finish(), 3);
    QCOMPARE(kdr31.Frames(Command::UploadBlock), size_t(0));
}

void TestCli::upgradeOnline() {
    FtpServer server;
    QVERIFY2(server.IsRunning(), qPrintable(server.Error()));
    const QByteArray image = TestImage(700, 2);
    QVERIFY(server.AddFile("TAMO_UPGlist.bin", UpgradeList(ListVersion)));
    QVERIFY(server.AddFile("KDR31v2.hex", HexFileOf(image)));
    server.UseAsFirmwareServer();
    LinkedDevice kdr31;
    QVERIFY(kdr31.Start(10));
    kdr31.device->SetRebootTime(std::chrono::milliseconds(1500));

    Cli cli({"upgrade", "--port", kdr31.link, "--online", "--yes"});
    QCOMPARE(cli.Finish(60000), 0);
    QCOMPARE(cli.OutLines(), QStringList{"KDR31 FW V1.2.4.0 s/n:KD310042"});
    QVERIFY2(cli.err.contains(
                 "Are you sure to download latest firmware V1.2.4.0 and upload to KDR31? yes"),
             cli.err.constData());
    QCOMPARE(FromBytes(kdr31.device->BootLoader().flashedImage), image + QByteArray(68, '\0'));

    // The device runs the listed version now: nothing more to do.
    Cli again({"upgrade", "--port", kdr31.link, "--online", "--yes"});
    QCOMPARE(again.Finish(30000), 0);
    QVERIFY2(again.err.contains(UpgradeText::AlreadyLatest.toUtf8()), again.err.constData());
}

// Ctrl-C during the upload is Cancel: no block after the one being sent, the finishing command
// still goes out, exit 130.
void TestCli::ctrlCCancelsUpload() {
    LinkedDevice kdr31;
    QVERIFY(kdr31.Start(10));
    kdr31.device->SetRebootTime(std::chrono::milliseconds(500));
    QTemporaryDir dir;
    const QString hexPath = dir.filePath("image.hex");
    QFile hex(hexPath);
    QVERIFY(hex.open(QIODevice::WriteOnly));
    hex.write(HexFileOf(TestImage(100 * UploadBlockBytes)));
    hex.close();

    Cli cli(
        {"upgrade", "--port", kdr31.link, "--hex", hexPath, "--image-version", "1.2.4.0", "--yes"});
    QVERIFY(kdr31.device->WaitForFrames(Command::UploadBlock, 3, std::chrono::seconds(20)));
    cli.Interrupt();
    QCOMPARE(cli.Finish(), 130);
    const size_t blocks = kdr31.Frames(Command::UploadBlock);
    QVERIFY2(blocks >= 3 && blocks <= 5, qPrintable(QString::number(blocks)));
    QVERIFY(kdr31.Frames(Command::UploadFinish) >= 1);
    QVERIFY(!kdr31.device->BootLoader().flashed);
    QVERIFY2(cli.err.contains("cancelled"), cli.err.constData());
}

// The readings a poll recorded come back out of export exactly as the poll wrote them; a
// database that cannot be opened is one line on standard error, and the poll goes on.
void TestCli::pollRecordsHistoryForExport() {
    LinkedDevice kdr31;
    QVERIFY(kdr31.Start(1));
    QTemporaryDir dir;
    const QString db = dir.filePath("history.sqlite");
    Cli poll({"poll", "--port", kdr31.link, "--count", "3", "--format", "csv", "--db", db});
    QCOMPARE(poll.Finish(), 0);
    QCOMPARE(poll.err, QByteArray());

    const QString today = QDate::currentDate().toString(Qt::ISODate);
    Cli exported({"export", "--db", db, "--from", today, "--to", today, "--serial", "KD310042"});
    QCOMPARE(exported.Finish(), 0);
    QCOMPARE(QString::fromUtf8(exported.out).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts),
             poll.OutLines());
    // A period before the poll: the header alone.
    Cli before({"export", "--db", db, "--from", "2020-01-01", "--to", "2020-01-02T00:00+01:00"});
    QCOMPARE(before.Finish(), 0);
    QCOMPARE(QString::fromUtf8(before.out).trimmed(), ReadingsCsvHeader());

    Cli peak({"peak", "--db", db, "--json"});
    QCOMPARE(peak.Finish(), 0);
    const QJsonObject report = QJsonDocument::fromJson(peak.out).object();
    QCOMPARE(report.value("serial").toString(), QStringLiteral("KD310042"));
    QCOMPARE(report.value("month").toString(), today.left(7));
    QVERIFY(report.value("peak").isNull()); // three seconds make no complete quarter-hour

    Cli unusable({"poll", "--port", kdr31.link, "--count", "3", "--db", dir.path()});
    QCOMPARE(unusable.Finish(), 0);
    QCOMPARE(unusable.OutLines().size(), 3);
    QCOMPARE(unusable.ErrLines().size(), 1);
    QVERIFY2(unusable.err.contains("--no-db"), unusable.err.constData());
}

// Readings reach a subscriber as JSON with the device's values; a settings message without
// --mqtt-allow-settings never reaches the device; a wrong password ends the poll with exit 1.
void TestCli::pollPublishesToMqtt() {
    MqttBroker broker;
    QVERIFY2(broker.IsRunning(), qPrintable(broker.Error()));
    MqttSubscriber subscriber(broker.Port(), "kdr31/KD310042/#");
    QVERIFY(subscriber.WaitSubscribed(5s));
    LinkedDevice kdr31;
    QVERIFY(kdr31.Start(1));

    Cli cli({"poll", "--port", kdr31.link, "--count", "3", "--no-db", "--mqtt", broker.Url()});
    QVERIFY(subscriber.WaitFor("kdr31/KD310042/state", 1, 10s));
    QVERIFY(subscriber.Publish("kdr31/KD310042/set", R"({"interval": 30})", 5s));
    QCOMPARE(cli.Finish(), 0);
    QCOMPARE(cli.err, QByteArray());
    const auto states = subscriber.Messages("kdr31/KD310042/state");
    QCOMPARE(states.size(), size_t(3));
    const QJsonObject state = QJsonDocument::fromJson(states.back().payload).object();
    QCOMPARE(state.value("serial").toString(), QStringLiteral("KD310042"));
    QCOMPARE(state.value("import_power_w").toDouble(), 200.0);
    QCOMPARE(state.value("import_high_wh").toDouble(), 1234.5);
    QCOMPARE(state.value("extern2").toDouble(), 7.0);
    QCOMPARE(subscriber.Last("kdr31/KD310042/availability"), QByteArray("offline"));
    QCOMPARE(kdr31.Frames(Command::Settings), size_t(0));
    QCOMPARE(subscriber.Count("kdr31/KD310042/set/result"), size_t(0));

    MqttBroker guarded(QStringLiteral("kdr31"), QStringLiteral("secret"));
    QVERIFY2(guarded.IsRunning(), qPrintable(guarded.Error()));
    QTemporaryDir dir;
    QFile password(dir.filePath("password"));
    QVERIFY(password.open(QIODevice::WriteOnly));
    password.write("wrong\n");
    password.close();
    Cli refused({"poll", "--port", kdr31.link, "--no-db", "--mqtt",
                 QStringLiteral("mqtt://kdr31@127.0.0.1:%1").arg(guarded.Port()),
                 "--mqtt-password-file", password.fileName()});
    QCOMPARE(refused.Finish(), 1);
    QCOMPARE(refused.ErrLines().size(), 1);
    QVERIFY2(refused.err.contains("refused the user name or password"), refused.err.constData());
}

// With --mqtt-allow-settings a settings message goes to the device as kdr31-cli set sends it,
// and the poll follows the new interval; availability follows the cable.
void TestCli::mqttSettingsAndAvailability() {
    MqttBroker broker;
    QVERIFY2(broker.IsRunning(), qPrintable(broker.Error()));
    MqttSubscriber subscriber(broker.Port(), "kdr31/KD310042/#");
    QVERIFY(subscriber.WaitSubscribed(5s));
    const QString state = "kdr31/KD310042/state";
    const QString availability = "kdr31/KD310042/availability";
    LinkedDevice kdr31;
    QVERIFY(kdr31.Start(1));

    Cli cli(
        {"poll", "--port", kdr31.link, "--no-db", "--mqtt", broker.Url(), "--mqtt-allow-settings"});
    QVERIFY(subscriber.WaitFor(state, 2, 10s));
    QVERIFY(subscriber.Publish("kdr31/KD310042/set", R"({"interval": 6, "country": "be"})", 5s));
    QVERIFY(subscriber.WaitFor("kdr31/KD310042/set/result", 1, 10s));
    const QJsonObject result =
        QJsonDocument::fromJson(subscriber.Last("kdr31/KD310042/set/result")).object();
    QVERIFY2(result.value("ok").toBool(), subscriber.Last("kdr31/KD310042/set/result").constData());
    QCOMPARE(kdr31.device->ReceivedFrames(Command::Settings).front().payload,
             (sim::Bytes{6, 2, 5, 1}));
    // At 6 s, no more than one reading in the next 3 s (at 1 s there would be three).
    const size_t afterSet = subscriber.Count(state);
    QTest::qWait(3000);
    QVERIFY(subscriber.Count(state) <= afterSet + 1);

    kdr31.device->HangUp();
    QVERIFY(subscriber.WaitForLast(availability, "offline", 10s));
    QVERIFY(kdr31.Start(1));
    QVERIFY(subscriber.WaitForLast(availability, "online", 10s));
    cli.Interrupt();
    QCOMPARE(cli.Finish(), 0);
    QVERIFY(subscriber.WaitForLast(availability, "offline", 5s));
    QVERIFY2(!cli.err.contains("MQTT"), cli.err.constData());
}

// The service's configuration file: a value with a blank in it (the password file), a switch,
// the command line over the file, and a bad line named by file and line.
void TestCli::pollReadsConfigFile() {
    MqttBroker broker; // anonymous: it takes any password, so a wrong path is what fails
    QVERIFY2(broker.IsRunning(), qPrintable(broker.Error()));
    MqttSubscriber subscriber(broker.Port(), "kdr31/KD310042/state");
    QVERIFY(subscriber.WaitSubscribed(5s));
    LinkedDevice kdr31;
    QVERIFY(kdr31.Start(1));
    QTemporaryDir dir;
    QFile password(dir.filePath("mqtt password"));
    QVERIFY(password.open(QIODevice::WriteOnly));
    password.write("secret\n");
    password.close();
    const QString configPath = dir.filePath("ttyUSB0.conf");
    const auto writeConfig = [&](const QByteArray& text) {
        QFile config(configPath);
        return config.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
               config.write(text) == text.size();
    };
    QVERIFY(writeConfig("# the broker\n"
                        "mqtt = mqtt://kdr31@127.0.0.1:" +
                        QByteArray::number(broker.Port()) +
                        "\n"
                        "  mqtt-password-file=  " +
                        password.fileName().toUtf8() +
                        "  \r\n"
                        "\n"
                        "no-db\n"
                        "count = 5\n"));

    Cli cli({"poll", "--config", configPath, "--port", kdr31.link, "--count", "2"});
    QCOMPARE(cli.Finish(), 0);
    QVERIFY2(cli.err.isEmpty(), cli.err.constData());
    QCOMPARE(cli.OutLines().size(), 2);
    QVERIFY(subscriber.WaitFor("kdr31/KD310042/state", 2, 5s));

    // A bad value and an unknown key: nothing is polled, and the message points at the line.
    for (const QByteArray& bad : {QByteArray("format = xml\n"), QByteArray("colour = blue\n"),
                                  QByteArray("mqtt-prefix\n")}) {
        QVERIFY(writeConfig("no-db\n# below\n" + bad));
        Cli refused({"poll", "--config", configPath, "--port", kdr31.link});
        QCOMPARE(refused.Finish(), 2);
        QVERIFY2(refused.err.contains((configPath + QStringLiteral(":3: ")).toUtf8()),
                 refused.err.constData());
    }
    QCOMPARE(kdr31.Frames(Command::Readings), size_t(2));
}

QTEST_MAIN(TestCli)
#include "test_cli.moc"
