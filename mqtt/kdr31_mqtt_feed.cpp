// kdr31-mqtt-feed: publishes made-up readings of one device through the MQTT publisher, at a
// fixed pace, to try a broker or Home Assistant without a KDR31. Pulse input 1 counts the
// readings (1, 2, 3, ...), so a subscriber can tell whether any went missing. The readings go
// through the readings fan-out as the poller's do, so they carry the capacity tariff's figures.
//
//   kdr31-mqtt-feed --mqtt mqtt://user@host --mqtt-password-file pw --every 1000 --count 10
//
// Exit codes: 0 done, 2 bad options, 3 the broker refused the user name or password,
// 4 the broker refused the connection otherwise, 5 the client could not be set up.

#include "mqtt/MqttOptions.h"
#include "mqtt/MqttPublisher.h"
#include "poller/ReadingsFanOut.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QTimer>
#include <cstdio>

namespace {

int ExitCodeFor(MqttError error) {
    switch (error) {
    case MqttError::None:
        return 0;
    case MqttError::NotAuthorised:
        return 3;
    case MqttError::Refused:
        return 4;
    case MqttError::Setup:
        return 5;
    }
    return 5;
}

Reading MadeUpReading(const QString& serial, int number) {
    Reading reading;
    reading.serial = serial;
    ReadingsRow& row = reading.row;
    row.time = QDateTime::currentMSecsSinceEpoch();
    row.state = ReadingsRow::Received;
    row.present = (1u << ReadingsFieldCount) - 1;
    const float n = static_cast<float>(number);
    row.fields = {200.0f + n, 1523456.0f + n,    987654.0f + n, 1.0f, 0.0f, 40000.0f, 30000.0f,
                  0.0f,       1234.5f + n / 100, 0.01f,         1.0f, n,    0.0f};
    return reading;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kdr31-mqtt-feed"));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Publishes made-up KDR31 readings to an MQTT broker."));
    parser.addHelpOption();
    AddMqttOptions(parser);
    parser.addOption({QStringLiteral("serial"), QStringLiteral("Serial number (default KDR00001)."),
                      QStringLiteral("SERIAL"), QStringLiteral("KDR00001")});
    parser.addOption({QStringLiteral("every"),
                      QStringLiteral("Milliseconds between readings (default 1000)."),
                      QStringLiteral("MS"), QStringLiteral("1000")});
    parser.addOption({QStringLiteral("count"),
                      QStringLiteral("Readings to publish, then stop (default 0: no end)."),
                      QStringLiteral("N"), QStringLiteral("0")});
    parser.process(app);

    MqttOptions options;
    QString error;
    const MqttOptionsStatus status = ReadMqttOptions(parser, options, error);
    if (status != MqttOptionsStatus::Valid) {
        std::fprintf(stderr, "kdr31-mqtt-feed: %s\n",
                     qPrintable(status == MqttOptionsStatus::NotRequested
                                    ? QStringLiteral("--mqtt URL is required")
                                    : error));
        return 2;
    }
    bool everyOk = false;
    bool countOk = false;
    const int every = parser.value(QStringLiteral("every")).toInt(&everyOk);
    const int count = parser.value(QStringLiteral("count")).toInt(&countOk);
    if (!everyOk || every < 1 || !countOk || count < 0) {
        std::fprintf(stderr, "kdr31-mqtt-feed: --every needs 1 or more, --count 0 or more\n");
        return 2;
    }

    const QString serial = parser.value(QStringLiteral("serial"));
    MqttPublisher publisher(options, serial, QStringLiteral("1.2.3.4"));
    QObject::connect(&publisher, &MqttPublisher::failed, &app,
                     [&](MqttError failure, const QString& text) {
                         std::fprintf(stderr, "kdr31-mqtt-feed: %s\n", qPrintable(text));
                         QCoreApplication::exit(ExitCodeFor(failure));
                     });
    QObject::connect(&publisher, &MqttPublisher::disconnected, &app, [](const QString& text) {
        std::fprintf(stderr, "kdr31-mqtt-feed: %s\n", qPrintable(text));
    });
    QObject::connect(&publisher, &MqttPublisher::readingsDropped, &app, [](qint64 dropped) {
        std::fprintf(stderr,
                     "kdr31-mqtt-feed: %lld readings were dropped while the broker was "
                     "away (queue full)\n",
                     static_cast<long long>(dropped));
    });
    if (!publisher.Start()) {
        std::fprintf(stderr, "kdr31-mqtt-feed: %s\n", qPrintable(publisher.ErrorText()));
        return ExitCodeFor(publisher.Error());
    }

    struct ToPublisher : ReadingSink {
        MqttPublisher& publisher;
        explicit ToPublisher(MqttPublisher& p) : publisher(p) {}
        void Take(const Reading& reading) override { publisher.Publish(reading); }
    } sink(publisher);
    ReadingsFanOut fanOut;
    fanOut.Add(&sink);

    int published = 0;
    QTimer pace;
    QObject::connect(&pace, &QTimer::timeout, &app, [&] {
        const Reading reading = MadeUpReading(serial, ++published);
        fanOut.Hand(reading.row, reading.serial);
        if (count > 0 && published >= count) {
            pace.stop();
            publisher.Stop();
            QCoreApplication::exit(0);
        }
    });
    pace.start(every);
    const int code = app.exec();
    publisher.Stop(0);
    if (publisher.Undelivered() > 0)
        std::fprintf(stderr, "kdr31-mqtt-feed: %d of %d readings never reached the broker\n",
                     publisher.Undelivered(), published);
    return code;
}
