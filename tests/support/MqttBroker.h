#pragma once
// A real Mosquitto broker for the tests, on 127.0.0.1 and a free port, with a configuration
// written by the test (anonymous, or one account in a password file made by mosquitto_passwd),
// and a plain subscriber that records what arrives.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

struct mosquitto;

// A port of 127.0.0.1 that nobody listens on just now: the kernel's pick for an ephemeral bind.
quint16 FreePort();

// A broker that speaks TLS only: its certificate and key (PEM files).
struct MqttBrokerTls {
    QString certFile;
    QString keyFile;
};

class MqttBroker {
public:
    // An empty user: anonymous clients are welcome. Otherwise only user/password gets in.
    // Sessions and retained messages persist across Stop() and Start(), as on a real
    // installation, so a subscriber misses nothing while the broker is away.
    explicit MqttBroker(const QString& user = {}, const QString& password = {}, bool start = true,
                        const MqttBrokerTls& tls = {});
    ~MqttBroker();
    MqttBroker(const MqttBroker&) = delete;
    MqttBroker& operator=(const MqttBroker&) = delete;

    // Starts (again) on the same port and waits, bounded, until it accepts connections.
    bool Start();
    // Ends it (SIGTERM) and waits for it.
    void Stop();
    bool IsRunning() const { return process_.state() == QProcess::Running; }
    quint16 Port() const { return port_; }
    qint64 Pid() const { return process_.processId(); }
    QString Error() const { return error_; }
    QString Url() const { return QStringLiteral("mqtt://127.0.0.1:%1").arg(port_); }

private:
    QTemporaryDir dir_;
    QProcess process_;
    quint16 port_ = 0;
    QString error_;
};

// Publishes one message per line of lines on topic (QoS 1) from another process, mosquitto_pub,
// so a flood's sender takes none of this process's memory. Returns when all are sent.
bool PublishLines(quint16 port, const QString& topic, const QByteArray& lines, QString& error);

struct MqttReceived {
    QString topic;
    QByteArray payload;
    bool retained = false;
    std::chrono::steady_clock::time_point at;
};

// Subscribes to one topic filter (QoS 1, a lasting session, so the broker keeps what arrives
// while the subscriber reconnects) and keeps every message. Waits block on a condition with a
// deadline; they never sleep and hope. Where the publisher runs in the test's own thread, use
// Count() and Last() inside QTRY_ instead, so the event loop keeps running.
class MqttSubscriber {
public:
    MqttSubscriber(quint16 port, const QString& filter);
    ~MqttSubscriber();
    MqttSubscriber(const MqttSubscriber&) = delete;
    MqttSubscriber& operator=(const MqttSubscriber&) = delete;

    // True once the broker has confirmed the subscription.
    bool WaitSubscribed(std::chrono::milliseconds timeout);
    // Waits until count messages on topic have arrived (all if topic is empty).
    bool WaitFor(const QString& topic, size_t count, std::chrono::milliseconds timeout);
    // Waits until the last message on topic is payload.
    bool WaitForLast(const QString& topic, const QByteArray& payload,
                     std::chrono::milliseconds timeout);
    std::vector<MqttReceived> Messages(const QString& topic = {}) const;
    size_t Count(const QString& topic) const { return Messages(topic).size(); }
    QByteArray Last(const QString& topic) const;
    // Publishes with QoS 1 and waits until the broker acknowledges it.
    bool Publish(const QString& topic, const QByteArray& payload, std::chrono::milliseconds timeout,
                 bool retain = false);

private:
    static void OnMessage(mosquitto*, void* self, const struct mosquitto_message* message);
    bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) const;

    mosquitto* mosq_ = nullptr;
    QByteArray filter_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool subscribed_ = false;
    std::vector<int> acknowledged_;
    std::vector<MqttReceived> messages_;
};
