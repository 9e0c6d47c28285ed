#pragma once
// Publishes one device's readings to an MQTT broker, with libmosquitto's network loop on a
// thread of its own, so a slow or absent broker never holds up a poll.
//
// The publisher lives on the poll's thread, which must run a Qt event loop: every call below
// is made there, and everything the network thread learns (connected, acknowledged, a settings
// message) is posted back to it. The device is therefore only ever touched on the poll's thread.
//
// Readings wait in a queue of at most QueueLimit until the broker has acknowledged them
// (QoS 1). While the broker is away they stay queued and go out in order once it is back; past
// the limit the oldest are dropped, counted, and the count is reported once, on reconnection.

#include "history/QuarterPeak.h"
#include "mqtt/MqttMessages.h"
#include "mqtt/MqttOptions.h"
#include "readings/ReadingsFormat.h"
#include "readings/SettingsRequest.h"

#include <QObject>
#include <QString>
#include <QTimeZone>
#include <array>
#include <deque>
#include <functional>

struct mosquitto;
struct mosquitto_message;

enum class MqttError {
    None,
    Setup,         // the client could not be set up (TLS files, library): nothing was tried
    NotAuthorised, // the broker refused the user name or password: retrying will not help
    Refused,       // the broker refused the connection for another reason (protocol, client id)
};

class MqttPublisher : public QObject {
    Q_OBJECT
public:
    static constexpr int QueueLimit = 10000;
    // Readings handed to libmosquitto and not yet acknowledged. libmosquitto resends these
    // itself after a reconnect, in order; the rest wait in our queue.
    static constexpr int InFlightLimit = 20;

    // Called on the publisher's thread with a request that passed validation. Returns an empty
    // string when the device took the settings, otherwise the reason it did not.
    using SettingsHandler = std::function<QString(const SettingsRequest&)>;

    // serial and firmwareVersion: of the device that identified itself; they name the topics,
    // the last will and the Home Assistant device.
    MqttPublisher(MqttOptions options, QString serial, QString firmwareVersion,
                  QObject* parent = nullptr);
    // Stops without waiting for the queue (Stop(0)).
    ~MqttPublisher() override;
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // Starts the network thread and the first connection. Returns false only when nothing could
    // be tried (Error() is Setup, ErrorText() says why); an unreachable broker is retried with
    // backoff (1 s doubling up to reconnectMaxSeconds).
    bool Start();

    // Queues one reading for <prefix>/<serial>/state. The message carries the serial given
    // to the constructor (one publisher, one device), whatever reading.serial holds.
    void Publish(const Reading& reading);

    // The device answered again, or was unplugged: "online" or "offline" on availability
    // (retained). The last will covers a poller that dies.
    void SetDeviceAvailable(bool available);

    // With allowSettings, valid requests on <prefix>/<serial>/set go to handler. Without
    // allowSettings the set topic is not even subscribed to, and handler is never called.
    void SetSettingsHandler(SettingsHandler handler);

    // While held, settings messages wait, in order, and are handled when the hold ends. A
    // poller holds them while the device is in the middle of an exchange: its wait runs the
    // event loop, and a message handled there would start a second exchange inside the first.
    // Messages that arrive while the handler runs wait for it in the same way.
    void HoldSettings(bool hold);

    // Publishes "offline", waits up to drainMilliseconds for the queue to be acknowledged (on
    // a local event loop), disconnects and ends the network thread.
    void Stop(int drainMilliseconds = 3000);

    bool IsConnected() const { return connected_; }
    int Queued() const { return static_cast<int>(queue_.size()); }
    qint64 Dropped() const { return droppedTotal_; }
    MqttError Error() const { return error_; }
    QString ErrorText() const { return errorText_; }
    const MqttOptions& Options() const { return options_; }

    // The capacity tariff behind the quarter-hour sensors; seed it (SeedLiveQuarter) before the
    // first Publish, or the month's peak counts from the poller's start.
    LiveQuarter& Quarter() { return quarter_; }

    // Seconds for the backoff ceiling; tests shorten it. Set before Start().
    void SetReconnectMaxSeconds(unsigned seconds) { reconnectMaxSeconds_ = seconds; }

signals:
    void connected();
    // The connection was lost; the publisher keeps trying.
    void disconnected(const QString& reason);
    // The broker refused us for good (NotAuthorised, Refused): no further attempts are made.
    void failed(MqttError error, const QString& text);
    // Readings were dropped while the broker was away; reported once, when it is back.
    void readingsDropped(qint64 count);
    // With allowSettings: the broker confirmed the subscription to the set topic.
    void listeningForSettings();
    // The queue is empty and everything acknowledged (Stop waits for this).
    void drained();

private:
    // A queued reading is kept as its raw row (64 bytes) and made into JSON when it is sent:
    // a full queue then takes about 1 MB instead of 10.
    struct Pending {
        ReadingsRow row;
        // The quarter-hour's figures (QuarterFigures) as floats, NaN for none: 12 bytes, not 48.
        std::array<float, 3> quarter;
        int mid = 0; // libmosquitto's message id once handed over; 0 while waiting
    };

    // libmosquitto's callbacks, on the network thread: they only post to this thread.
    static void OnConnectCallback(mosquitto*, void* self, int rc);
    static void OnDisconnectCallback(mosquitto*, void* self, int rc);
    static void OnPublishCallback(mosquitto*, void* self, int mid);
    static void OnSubscribeCallback(mosquitto*, void* self, int mid, int count,
                                    const int* grantedQos);
    static void OnMessageCallback(mosquitto*, void* self, const mosquitto_message* message);

    void OnConnected(int rc);
    void OnDisconnected(int rc);
    void OnAcknowledged(int mid);
    void OnSetMessage(const QByteArray& payload);
    void HandleSettings();

    // Returns libmosquitto's message id.
    int PublishRetained(const QString& topic, const QByteArray& payload);
    void Pump();
    void Fail(MqttError error, const QString& text);

    MqttOptions options_;
    QString serial_;
    QString firmwareVersion_;
    QByteArray stateTopic_;
    QByteArray availabilityTopic_;
    QByteArray setTopic_;
    QByteArray setResultTopic_;

    mosquitto* mosq_ = nullptr;
    bool loopRunning_ = false;
    bool connected_ = false;
    bool stopping_ = false;
    bool deviceAvailable_ = true;
    unsigned reconnectMaxSeconds_ = 30;

    LiveQuarter quarter_{QTimeZone::systemTimeZone()};
    std::deque<Pending> queue_; // the oldest first; the first inFlight_ are handed over
    int inFlight_ = 0;
    int offlineMid_ = 0; // the goodbye "offline" until the broker has it
    qint64 droppedTotal_ = 0;
    qint64 droppedUnreported_ = 0;

    SettingsHandler settingsHandler_;
    std::deque<QByteArray> settingsWaiting_;
    bool settingsHeld_ = false;
    bool handlingSettings_ = false;
    MqttError error_ = MqttError::None;
    QString errorText_;
};
