#pragma once
// kdr31-cli as a user runs it, for the tests: the built program started as a process against a
// simulated KDR31 on a pseudo-terminal, reached through a link the way /dev/serial/by-id/...
// reaches an adapter, and against a real MQTT broker on 127.0.0.1.
//
// KDR31_CLI_UNDER_TEST names another build of the program, KDR31_CLI_EMULATOR what runs it: the
// ARM build for the Raspberry Pi under qemu-user, against this machine's simulator and broker.
// The test program defines KDR31_CLI_PATH, the build's own kdr31-cli.

#include "support/MqttBroker.h"
#include "support/SimulatedPorts.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <array>
#include <csignal>
#include <functional>
#include <memory>

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
    // The cable pulled: the link goes with it, as udev removes a by-id link. Left behind, it
    // would name a pseudo-terminal number the kernel hands the next program that asks (the
    // simulator of a test running alongside), and the poller would read that device.
    void Pull() {
        QFile::remove(link);
        device->HangUp();
    }
};

// A broker, a subscriber to the simulated device's topics (serial KD310042), and the device.
struct BrokerAndDevice {
    MqttBroker broker;
    MqttSubscriber subscriber{broker.Port(), "kdr31/KD310042/#"};
    LinkedDevice kdr31;

    bool Start(int interval) {
        return broker.IsRunning() && subscriber.WaitSubscribed(std::chrono::seconds(5)) &&
               kdr31.Start(interval);
    }
};

// The program running, with what it wrote so far.
struct Cli {
    QProcess process;
    QByteArray out;
    QByteArray err;

    // realIntervals: the five-second floor of a real poller, rather than the tests' one second.
    explicit Cli(const QStringList& arguments, bool realIntervals = false,
                 const QString& program = QStringLiteral(KDR31_CLI_PATH)) {
        // The user's own history stays out of the tests: polls without --db record here.
        static QTemporaryDir dataHome;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_DATA_HOME"), dataHome.path());
        // Devices set to 1 s are polled at 1 s, not at the five seconds a real poller keeps.
        if (!realIntervals)
            environment.insert(QStringLiteral("KDR31_TEST_MIN_INTERVAL_MS"),
                               QStringLiteral("1000"));
        environment.insert(QStringLiteral("KDR31_CLI"), QStringLiteral(KDR31_CLI_PATH));
        process.setProcessEnvironment(environment);
        // The ARM builds run under their emulator; a shell given as the program runs as it is.
        const bool native = program != QStringLiteral(KDR31_CLI_PATH);
        const QString cli = qEnvironmentVariable("KDR31_CLI_UNDER_TEST", KDR31_CLI_PATH);
        const QString emulator = native ? QString() : qEnvironmentVariable("KDR31_CLI_EMULATOR");
        process.setProgram(native ? program : emulator.isEmpty() ? cli : emulator);
        process.setArguments(emulator.isEmpty() ? arguments : QStringList{cli} + arguments);
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
