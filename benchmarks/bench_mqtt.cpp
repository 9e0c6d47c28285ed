// Publishing readings to MQTT: the delay from the publish call to the arrival of the reading at
// a subscriber, through a real Mosquitto broker on 127.0.0.1, the resident memory of the
// poller with a full queue (the broker away), and what a flood of settings messages costs.
//
//   kdr31_bench_mqtt [readings]     (default 1000, one every 5 ms)

#include "mqtt/MqttPublisher.h"
#include "support/MqttBroker.h"
#include "support/ProcessUsage.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace std::chrono_literals;

namespace {

Reading NumberedReading(int number) {
    Reading reading;
    reading.serial = QStringLiteral("BENCH001");
    reading.row.time = QDateTime::currentMSecsSinceEpoch();
    reading.row.state = ReadingsRow::Received;
    reading.row.present = (1u << ReadingsFieldCount) - 1;
    reading.row.fields = {1234.0f,  1523456.8f, 987654.3f, 12.0f,  0.0f, 40000.0f,
                          30000.0f, 0.0f,       4321.123f, 0.011f, 2.0f, static_cast<float>(number),
                          0.0f};
    return reading;
}

double Percentile(std::vector<double> values, double fraction) {
    const size_t index = std::min(values.size() - 1, size_t(fraction * double(values.size())));
    std::nth_element(values.begin(), values.begin() + long(index), values.end());
    return values[index];
}

// Runs the publisher's thread (this one) until done() or the deadline.
bool RunUntil(const std::function<bool()>& done, int milliseconds) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < milliseconds)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const int readings = argc > 1 ? std::atoi(argv[1]) : 1000;

    MqttBroker broker;
    if (!broker.IsRunning()) {
        std::fprintf(stderr, "%s\n", qPrintable(broker.Error()));
        return 1;
    }
    MqttOptions options;
    options.host = QStringLiteral("127.0.0.1");
    options.port = broker.Port();
    const QString topic = QStringLiteral("kdr31/BENCH001/state");
    std::vector<double> delaysMs;
    {
        MqttSubscriber subscriber(broker.Port(), topic);
        subscriber.WaitSubscribed(5s);
        MqttPublisher publisher(options, QStringLiteral("BENCH001"), {});
        publisher.Start();
        if (!RunUntil([&] { return publisher.IsConnected(); }, 5000)) {
            std::fprintf(stderr, "no connection to the broker\n");
            return 1;
        }
        std::vector<std::chrono::steady_clock::time_point> sent;
        for (int n = 1; n <= readings; ++n) {
            const Reading reading = NumberedReading(n);
            sent.push_back(std::chrono::steady_clock::now());
            publisher.Publish(reading);
            // The poll's thread between two readings: acknowledgements arrive here.
            RunUntil([] { return false; }, 5);
        }
        RunUntil([&] { return subscriber.Count(topic) >= size_t(readings); }, 10000);
        for (const MqttReceived& message : subscriber.Messages(topic)) {
            const int n = QJsonDocument::fromJson(message.payload)["extern1"].toInt();
            if (n >= 1 && n <= readings)
                delaysMs.push_back(
                    std::chrono::duration<double, std::milli>(message.at - sent[size_t(n - 1)])
                        .count());
        }
        publisher.Stop(0);
    }
    broker.Stop();
    if (delaysMs.size() != size_t(readings)) {
        std::fprintf(stderr, "only %zu of %d readings arrived\n", delaysMs.size(), readings);
        return 1;
    }

    // The broker away: everything stays in the queue, up to its bound.
    const long before = ResidentKiB();
    MqttPublisher offline(options, QStringLiteral("BENCH001"), {});
    offline.Start();
    for (int n = 1; n <= MqttPublisher::QueueLimit + 1000; ++n)
        offline.Publish(NumberedReading(n));
    const long full = ResidentKiB();
    const int offlineQueued = offline.Queued();
    offline.Stop(0);

    // 10,000 settings messages of nearly 1 KiB while the poll's thread is busy (a device
    // exchange): what the flood costs in memory, and how many requests reach the handler.
    constexpr int FloodMessages = 10000;
    if (!broker.Start()) {
        std::fprintf(stderr, "%s\n", qPrintable(broker.Error()));
        return 1;
    }
    MqttOptions settingsOptions = options;
    settingsOptions.allowSettings = true;
    MqttPublisher listening(settingsOptions, QStringLiteral("BENCH001"), {});
    int requests = 0;
    listening.SetSettingsHandler([&](const SettingsRequest&) { ++requests; });
    bool subscribed = false;
    QObject::connect(&listening, &MqttPublisher::listeningForSettings, [&] { subscribed = true; });
    listening.Start();
    if (!RunUntil([&] { return subscribed; }, 5000)) {
        std::fprintf(stderr, "no subscription to the set topic\n");
        return 1;
    }
    QByteArray lines;
    for (int i = 1; i <= FloodMessages; ++i) {
        QByteArray line = R"({"interval": )" + QByteArray::number(5 + i % 50) + "}";
        lines += line + QByteArray(1000 - line.size(), ' ') + '\n';
    }
    const long floodBefore = ResidentKiB();
    ResetPeakResident();
    QElapsedTimer flooding;
    flooding.start();
    QString error;
    if (!PublishLines(broker.Port(), QStringLiteral("kdr31/BENCH001/set"), lines, error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    while (listening.SettingsMessages() < FloodMessages && flooding.elapsed() < 60000)
        QThread::msleep(5);
    const double floodSeconds = double(flooding.elapsed()) / 1000;
    const long floodPeak = PeakResidentKiB();
    RunUntil([&] { return requests > 0; }, 5000);
    listening.Stop(0);

    std::printf("MQTT publishing through Mosquitto on 127.0.0.1, %d readings 5 ms apart\n",
                readings);
    std::printf("  %-52s %10.2f ms\n", "publish call to arrival, median",
                Percentile(delaysMs, 0.5));
    std::printf("  %-52s %10.2f ms\n", "publish call to arrival, 95th percentile",
                Percentile(delaysMs, 0.95));
    std::printf("  %-52s %10.2f ms\n", "publish call to arrival, largest",
                *std::max_element(delaysMs.begin(), delaysMs.end()));
    std::printf("  %-52s %10d\n", "queue with the broker away (bound)", offlineQueued);
    std::printf("  %-52s %10.1f MB\n", "resident memory, whole process, queue full",
                double(full) / 1024);
    std::printf("  %-52s %10.1f MB\n", "of which the full queue (growth while filling)",
                double(full - before) / 1024);
    std::printf("Settings flood, %d messages of 1 KiB, the poll's thread busy\n", FloodMessages);
    std::printf("  %-52s %10lld\n", "messages the network thread took",
                static_cast<long long>(listening.SettingsMessages()));
    std::printf("  %-52s %10.0f /s\n", "rate", double(FloodMessages) / floodSeconds);
    std::printf("  %-52s %10d\n", "requests handed to the handler", requests);
    std::printf("  %-52s %10.2f MB\n", "resident memory growth, peak during the flood",
                double(floodPeak - floodBefore) / 1024);
    return 0;
}
