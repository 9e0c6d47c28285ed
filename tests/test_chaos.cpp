// The poller as a service runs it for a year, in a few minutes: kdr31-cli poll --wait --db
// --mqtt against the simulator and a real Mosquitto, while the broker restarts, the cable is
// pulled and plugged in again, another program holds the database locked, and the set topic is
// flooded; then SIGTERM. Every reading the simulator served must be in the history exactly once
// and reach a subscriber in order, memory must stay small, and no reading may come later than
// the interval and a second, except while the cable was out.
//
// KDR31_CHAOS_SECONDS sets the length (45 s by default; the slow form runs 600 s with more
// faults of each kind).

#include "support/MqttBroker.h"
#include "support/SimulatedPorts.h"

#include "device_link/ReplyParser.h"
#include "history/HistoryStore.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <fstream>
#include <memory>
#include <set>
#include <sqlite3.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int IntervalS = 5;
constexpr int Extern1 = 11; // the pulse counter that counts up by one with every reading served

long ResidentKiBOf(qint64 pid, const char* field = "VmRSS") {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::string key = std::string(field) + ':';
    while (std::getline(status, line))
        if (line.rfind(key, 0) == 0)
            return std::stol(line.substr(key.size()));
    return 0;
}

// One simulated KDR31 after another behind one link: a pulled cable ends one, the replugged
// adapter is the next, counting on from the meter's values.
struct Cable {
    QTemporaryDir dir;
    QString link = dir.filePath(QStringLiteral("kdr31"));
    std::vector<std::unique_ptr<sim::Kdr31Simulator>> devices;
    std::vector<std::pair<float, float>> served; // extern1 before and after, per device

    sim::Kdr31Simulator& Current() { return *devices.back(); }
    bool Plug() {
        // Everything set before the line opens: a poller looking for the device may open the new
        // pseudo-terminal under the old one's name the moment it exists.
        auto device = std::make_unique<sim::Kdr31Simulator>();
        sim::DeviceSettings settings;
        settings.interval = IntervalS;
        device->SetSettings(settings);
        if (!devices.empty())
            device->ContinueReadings(devices.back()->DriftingReadings());
        if (!device->Start())
            return false;
        const float start = device->DriftingReadings()[Extern1];
        served.push_back({start, start});
        devices.push_back(std::move(device));
        QFile::remove(link);
        return QFile::link(QString::fromStdString(devices.back()->PortPath()), link);
    }
    void Pull() {
        // The link goes with the adapter, as udev removes a by-id link: left behind, it names a
        // pseudo-terminal number that the kernel gives the next program asking for one (the
        // simulator of a test running alongside), and the poller would read that device.
        QFile::remove(link);
        Current().HangUp();
        served.back().second = Current().DriftingReadings()[Extern1];
    }
    // Every extern1 value served so far, in order.
    std::vector<long> Served() {
        served.back().second = Current().DriftingReadings()[Extern1];
        std::vector<long> values;
        for (const auto& [from, to] : served)
            for (long v = long(from) + 1; v <= long(to); ++v)
                values.push_back(v);
        return values;
    }
};

int EnvInt(const char* name, int fallback) {
    const int value = qEnvironmentVariableIntValue(name);
    return value > 0 ? value : fallback;
}

} // namespace

class TestChaos : public QObject {
    Q_OBJECT
private slots:
    void readingsSurviveEverything();
};

void TestChaos::readingsSurviveEverything() {
    const int seconds = EnvInt("KDR31_CHAOS_SECONDS", 45);
    const bool longForm = seconds >= 300;
    const int restarts = longForm ? 5 : 1;
    const int pulls = longForm ? 5 : 1;
    const int locks = longForm ? 3 : 1;
    const int lockSeconds = longForm ? 20 : 6;
    const int floodMessages = longForm ? 10000 : 2000;

    MqttBroker broker;
    QVERIFY2(broker.IsRunning(), qPrintable(broker.Error()));
    MqttSubscriber subscriber(broker.Port(), "kdr31/KD310042/#");
    QVERIFY(subscriber.WaitSubscribed(5s));
    Cable cable;
    QVERIFY(cable.Plug());
    QTemporaryDir dir;
    const QString db = dir.filePath("history.sqlite");

    QProcess poller;
    poller.setProgram(QStringLiteral(KDR31_CLI_PATH));
    poller.setArguments({"poll", "--wait", "--port", cable.link, "--db", db, "--format", "json",
                         "--mqtt", broker.Url(), "--mqtt-allow-settings"});
    poller.start();
    QVERIFY(poller.waitForStarted());
    const qint64 pid = poller.processId();
    QByteArray out; // the poller's readings as JSON lines
    QVERIFY(subscriber.WaitFor("kdr31/KD310042/state", 1, 15s));

    // The faults, spread over the run, one kind after the other.
    std::vector<char> faults;
    for (int i = 0; i < std::max({restarts, pulls, locks}); ++i) {
        if (i < restarts)
            faults.push_back('b');
        if (i < pulls)
            faults.push_back('c');
        if (i < locks)
            faults.push_back('l');
        if (i == 0)
            faults.push_back('f');
    }
    const auto start = Clock::now();
    const auto spacing = std::chrono::milliseconds(seconds * 1000 / int(faults.size() + 1));
    long peakKiB = 0;
    long floodBeforeKiB = 0;
    long floodAfterKiB = 0;
    const auto waitSampling = [&](std::chrono::milliseconds time) {
        const auto until = Clock::now() + time;
        while (Clock::now() < until) {
            peakKiB = std::max(peakKiB, ResidentKiBOf(pid));
            QTest::qWait(200);
        }
    };
    for (size_t i = 0; i < faults.size(); ++i) {
        waitSampling(std::chrono::duration_cast<std::chrono::milliseconds>(
            start + spacing * int(i + 1) - Clock::now()));
        switch (faults[i]) {
        case 'b':
            broker.Stop();
            waitSampling(3s);
            QVERIFY2(broker.Start(), qPrintable(broker.Error()));
            break;
        case 'c': {
            // Between two readings: once the poller has written the newest one served, so that
            // none is cut off half way (that one would be the simulator's, never the poller's).
            const size_t polled = cable.Current().ReceivedFrames(Command::Readings).size();
            QVERIFY(cable.Current().WaitForFrames(Command::Readings, polled + 1, 10s));
            const QByteArray newest =
                QByteArray("\"extern1\":") +
                QByteArray::number(long(cable.Current().DriftingReadings()[Extern1]));
            QTRY_VERIFY_WITH_TIMEOUT((out += poller.readAllStandardOutput()).contains(newest),
                                     5000);
            cable.Pull();
            waitSampling(4s);
            QVERIFY(cable.Plug());
            break;
        }
        case 'l': {
            sqlite3* other = nullptr;
            QCOMPARE(sqlite3_open(QFile::encodeName(db).constData(), &other), SQLITE_OK);
            sqlite3_busy_timeout(other, 5000);
            QCOMPARE(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
            waitSampling(std::chrono::seconds(lockSeconds));
            QCOMPARE(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
            sqlite3_close(other);
            break;
        }
        case 'f': {
            floodBeforeKiB = ResidentKiBOf(pid);
            QProcess flood;
            flood.start(QStringLiteral("mosquitto_pub"),
                        {"-h", "127.0.0.1", "-p", QString::number(broker.Port()), "-t",
                         "kdr31/KD310042/set", "-q", "1", "-l"});
            QVERIFY(flood.waitForStarted());
            QByteArray lines;
            for (int m = 0; m < floodMessages; ++m)
                lines += m % 100 == 99 ? QByteArray(2048, 'x') + '\n'
                                       : QByteArray(R"({"divider": )") +
                                             QByteArray::number(m % 10 + 1) + "}\n";
            flood.write(lines);
            flood.closeWriteChannel();
            QVERIFY(flood.waitForFinished(60000));
            waitSampling(6s);
            floodAfterKiB = ResidentKiBOf(pid);
            break;
        }
        }
    }
    waitSampling(std::chrono::duration_cast<std::chrono::milliseconds>(
        start + std::chrono::seconds(seconds) - Clock::now()));
    peakKiB = std::max(peakKiB, ResidentKiBOf(pid, "VmHWM"));

    ::kill(pid_t(pid), SIGTERM);
    QVERIFY(poller.waitForFinished(20000));
    const QByteArray err = poller.readAllStandardError();
    QCOMPARE(poller.exitStatus(), QProcess::NormalExit);
    QVERIFY2(poller.exitCode() == 0, err.constData());
    QVERIFY2(!err.contains("could not be delivered"), err.constData());

    const std::vector<long> served = cable.Served();
    QVERIFY(!served.empty());

    // The history: each reading once.
    HistoryStore store;
    QVERIFY(store.Open(db, true));
    std::vector<long> recorded;
    QStringList rows; // shown when the history is not what was served
    QVERIFY(store.ForEach(0, std::numeric_limits<qint64>::max(), std::nullopt,
                          [&](const Reading& reading) {
                              recorded.push_back(long(reading.row.fields[Extern1]));
                              QStringList cells;
                              for (const float v : reading.row.fields)
                                  cells << QString::number(v);
                              rows << QStringLiteral("%1 %2 %3 %4")
                                          .arg(reading.row.time)
                                          .arg(int(reading.row.state))
                                          .arg(int(reading.implausible))
                                          .arg(cells.join(' '));
                              return true;
                          }));
    if (recorded != served)
        qWarning("history:\n%s\npoller's messages:\n%s", qPrintable(rows.join('\n')),
                 err.constData());
    QCOMPARE(recorded, served);

    // The subscriber: each reading, in order; QoS 1 may bring one twice.
    QVERIFY(subscriber.WaitFor("kdr31/KD310042/state", served.size(), 15s));
    std::vector<long> delivered;
    std::set<long> seen;
    for (const MqttReceived& message : subscriber.Messages("kdr31/KD310042/state")) {
        const QJsonObject state = QJsonDocument::fromJson(message.payload).object();
        QCOMPARE(state.value("status").toString(), QStringLiteral("ok"));
        const long value = long(state.value("extern1").toDouble());
        if (seen.insert(value).second)
            delivered.push_back(value);
    }
    QCOMPARE(delivered, served);

    // No reading later than the interval and a second, but while the cable was out.
    std::chrono::milliseconds largestGap{0};
    for (const auto& device : cable.devices) {
        const auto polled = device->ReceivedFrames(Command::Readings);
        for (size_t i = 1; i < polled.size(); ++i)
            largestGap = std::max(largestGap, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  polled[i].at - polled[i - 1].at));
    }

    qInfo("chaos: %d s, readings served %zu, recorded %zu, delivered %zu (%zu messages); faults: "
          "%d broker restarts, %d cable pulls, %d database locks of %d s, a flood of %d "
          "messages; peak resident memory %.1f MB; largest gap %lld ms (interval %d s); flood: "
          "%.1f MB before, %.1f MB after",
          seconds, served.size(), recorded.size(), delivered.size(),
          subscriber.Count("kdr31/KD310042/state"), restarts, pulls, locks, lockSeconds,
          floodMessages, peakKiB / 1024.0, qlonglong(largestGap.count()), IntervalS,
          floodBeforeKiB / 1024.0, floodAfterKiB / 1024.0);
    QVERIFY2(largestGap <= std::chrono::seconds(IntervalS + 1),
             qPrintable(QString::number(largestGap.count())));
#ifndef __SANITIZE_ADDRESS__
    // AddressSanitizer's shadow memory and quarantine (every freed block kept a while) make
    // resident memory say nothing of the program's own.
    QVERIFY2(peakKiB < 30 * 1024, qPrintable(QString::number(peakKiB)));
    QVERIFY2(floodAfterKiB - floodBeforeKiB < 5 * 1024,
             qPrintable(QStringLiteral("%1 -> %2 KiB").arg(floodBeforeKiB).arg(floodAfterKiB)));
#endif
}

QTEST_GUILESS_MAIN(TestChaos)
#include "test_chaos.moc"
