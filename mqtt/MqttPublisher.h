#pragma once
// Publishes one device's readings to an MQTT broker, with a network loop on a thread of its
// own, so a slow or absent broker never holds up a poll.
//
// The publisher lives on the poll's thread, which must run a Qt event loop: every call below
// is made there, and everything the network thread learns (connected, acknowledged, a settings
// message) is posted back to it. The device is therefore only ever touched on the poll's thread.
//
// Readings wait in a queue of at most QueueLimit until the broker has acknowledged them
// (QoS 1). While the broker is away they stay queued and go out in order once it is back; past
// the limit the oldest waiting ones are dropped, counted, and the count is reported once, on
// reconnection.
//
// The network loop is ours, not libmosquitto's: its own reconnects wait 0, 1, 4, 9 ... seconds
// after a refused port, not at all after a broker that takes the connection and closes it, and
// end the thread for good on a TLS error. Ours waits 1, 2, 4 ... up to the ceiling between two
// attempts that did not get in, and 1 s after a connection that was lost.
//
// Settings messages are hostile until checked. The network thread keeps only the newest one,
// in one slot, and posts one event however many arrive before the poll's thread takes it, so a
// flood costs no memory. Over SettingsPayloadLimit bytes a message is refused unread; one the
// broker hands over as retained (an old request it keeps for every new subscription, ours at
// each start and reconnection) is refused. A message published with the retain flag while we
// are subscribed comes to us live, the flag cleared by the broker, and is taken as any other:
// MQTT 3.1.1 gives us no way to tell.
//
// The install command of the firmware's update entity is met the same way: subscribed only with
// allowUpgrade, the newest message kept in one slot, a long or retained one refused (a retained
// "install" would upgrade the device at every start of the poller), and nothing but the
// entity's own payload taken.

#include "mqtt/MqttMessages.h"
#include "mqtt/MqttOptions.h"
#include "mqtt/PacedAnswers.h"
#include "readings/ReadingsFormat.h"
#include "readings/SettingsRequest.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimeZone>
#include <QTimer>
#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

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
    // A settings request is a few dozen bytes; anything longer is refused without a look.
    static constexpr int SettingsPayloadLimit = 1024;
    // Answers on the result topic go out at most this often, whatever they say, so a flood of
    // settings messages does not become a flood of answers. One that comes sooner waits for its
    // turn, in the order they came, and a newer answer takes the place of a waiting one of its
    // kind only (AnswerRank): a refusal never that of a request's outcome, so the sender of a
    // request that went to the device learns what the device did. (Two such outcomes cannot
    // fall within one second: the readings service sends at most one request per interval.)
    static constexpr int AnswerMilliseconds = 1000;

    // Called on the publisher's thread with a request that passed validation. It must return
    // at once: the caller applies the request between two readings and then reports the result
    // with ReportSettingsResult (which may come before the handler returns).
    using SettingsHandler = std::function<void(const SettingsRequest&)>;

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
    // to the constructor (one publisher, one device), whatever reading.serial holds, and the
    // capacity tariff's figures the reading was handed with (Reading::capacity). An implausible
    // reading goes out with status "implausible" and no fields.
    void Publish(const Reading& reading);

    // The device answered again, or was unplugged: "online" or "offline" on availability
    // (retained). The last will covers a poller that dies.
    void SetDeviceAvailable(bool available);

    // With allowSettings, valid requests on <prefix>/<serial>/set go to handler. Without
    // allowSettings the set topic is not even subscribed to, and handler is never called.
    // Without a handler, valid requests are answered "this poller does not change settings".
    void SetSettingsHandler(SettingsHandler handler);

    // Publishes the result of a request the handler was given on <prefix>/<serial>/set/result,
    // within the limit of one answer per AnswerMilliseconds.
    void ReportSettingsResult(const SettingsRequest& request, const SettingsAnswer& answer);

    // The firmware: with allowUpgrade, an install command on <prefix>/<serial>/firmware/install
    // calls handler on this thread, which must return at once and later report the answer with
    // ReportUpgradeAnswer. Without a handler the command is answered "this poller does not
    // upgrade".
    using UpgradeHandler = std::function<void()>;
    void SetUpgradeHandler(UpgradeHandler handler);
    // The answer to an install command, on <prefix>/<serial>/firmware/result; at most one answer
    // a second, a newer refusal taking the place of a waiting one, never of the poller's answer.
    void ReportUpgradeAnswer(const UpgradeAnswer& answer);
    // The update entity's state, retained; sent again after every reconnection.
    void PublishFirmwareState(const FirmwareStatus& status);
    // The device reported another firmware (after an upgrade): the discovery configs carry it.
    void SetFirmwareVersion(const QString& firmwareVersion);
    static constexpr int InstallPayloadLimit = 64;

    // Publishes "offline" and gives the queue up to drainMilliseconds to be acknowledged (on a
    // local event loop), connecting first if the broker had not taken us yet; a broker that
    // refused us for good ends the wait at once. Then disconnects and ends the network thread.
    void Stop(int drainMilliseconds = 5000);

    bool IsConnected() const { return connected_; }
    // The broker took our connection at least once since Start.
    bool EverConnected() const { return everConnected_; }
    int Queued() const { return static_cast<int>(queue_.size()); }
    // Readings the broker acknowledged since Start.
    qint64 Delivered() const { return delivered_; }
    // After Stop: readings queued or in flight that the broker never acknowledged.
    int Undelivered() const { return undelivered_; }
    qint64 Dropped() const { return droppedTotal_; }
    // Messages that arrived on the set topic, and those refused (too long, retained, invalid).
    qint64 SettingsMessages() const { return settingsMessages_.load(); }
    qint64 SettingsRefused() const { return settingsRefused_; }
    // The present outage has been explained through disconnected() (a TLS error, a lost
    // connection), so a front end need not add its own "no answer yet".
    bool OutageReported() const { return outageReported_; }
    MqttError Error() const { return error_; }
    QString ErrorText() const { return errorText_; }
    const MqttOptions& Options() const { return options_; }

    // Seconds for the backoff ceiling, and the queue's bound; tests shorten them. Set before
    // Start().
    void SetReconnectMaxSeconds(unsigned seconds) { reconnectMaxSeconds_ = seconds; }
    void SetQueueLimit(int readings) { queueLimit_ = std::max(1, readings); }

signals:
    void connected();
    // The connection was lost, or an attempt failed for a reason worth naming (TLS): once per
    // outage. The publisher keeps trying with backoff.
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
        bool implausible = false;
        // The capacity tariff's figures (CapacityFigures) as floats, NaN for none, and the
        // warning as -1 (none), 0 or 1: 25 bytes, where the figures' CapacityNow takes some 200
        // and would be kept alive by the queue.
        std::array<float, 6> capacity;
        qint8 peakWarning = -1;
        int mid = 0; // libmosquitto's message id once handed over; 0 while waiting
    };

    // What the network thread has for the poll's thread from the set topic: the newest
    // request, and counts of those refused unread since the last look.
    struct SettingsInbox {
        std::optional<QByteArray> payload;
        int oversized = 0;
        int retained = 0;
        bool posted = false; // an event is on its way; the next messages only update the slot
    };

    // libmosquitto's callbacks, on the network thread: they only post to this thread.
    static void OnConnectCallback(mosquitto*, void* self, int rc);
    static void OnPublishCallback(mosquitto*, void* self, int mid);
    static void OnSubscribeCallback(mosquitto*, void* self, int mid, int count,
                                    const int* grantedQos);
    static void OnMessageCallback(mosquitto*, void* self, const mosquitto_message* message);
    static void OnLogCallback(mosquitto*, void* self, int level, const char* text);

    // The network thread: connect, run, wait, connect again, until Stop.
    void NetworkLoop(int firstRc);
    bool WaitUnlessStopped(unsigned seconds);
    bool StopRequested();

    void OnConnected(int rc);
    void OnConnectionEnded(bool wasAccepted, const QString& reason, bool tls);
    void OnAcknowledged(int mid);
    void OnSettingsInbox();
    void OnUpgradeInbox();
    void AnswerUpgrade(bool poller, const QByteArray& payload);
    void PublishDiscovery();

    // The kinds of answer, each with one place among those waiting for their turn.
    enum AnswerRank {
        Applied, // the outcome of a request that went to the device
        Settled, // the final word on a valid request that was not sent: unchanged, or no handler
        Refused, // a message refused before it was a request, or a request replaced
        AnswerRanks,
    };
    void Answer(AnswerRank rank, const SettingsRequest& request, const QStringList& refusals,
                bool unchanged = false);

    // An answer, not retained.
    void PublishOn(const QByteArray& topic, const QByteArray& payload);
    // Returns libmosquitto's message id.
    int PublishRetained(const QString& topic, const QByteArray& payload);
    void Pump();
    void CheckDrained();
    void Fail(MqttError error, const QString& text);
    QString BrokerName() const;

    MqttOptions options_;
    QString serial_;
    QString firmwareVersion_;
    QByteArray stateTopic_;
    QByteArray availabilityTopic_;
    QByteArray setTopic_;
    QByteArray setResultTopic_;
    QByteArray firmwareTopic_;
    QByteArray installTopic_;
    QByteArray upgradeResultTopic_;

    mosquitto* mosq_ = nullptr;
    std::thread network_;
    std::mutex stopMutex_;
    std::condition_variable stopChanged_;
    bool stopRequested_ = false; // under stopMutex_
    // Network thread only: the broker took the present connection; it refused us for good.
    bool accepted_ = false;
    bool refusedForGood_ = false;
    std::mutex tlsMutex_;
    QString tlsText_; // the first error the library logged in this attempt, under tlsMutex_

    // The poll's thread from here on.
    bool connected_ = false;
    bool everConnected_ = false;
    bool stopping_ = false;
    bool deviceAvailable_ = true;
    bool outageReported_ = false;
    unsigned reconnectMaxSeconds_ = 30;
    int queueLimit_ = QueueLimit;

    std::deque<Pending> queue_; // the oldest first; the first inFlight_ are handed over
    int inFlight_ = 0;
    int offlineMid_ = 0; // the goodbye "offline" until the broker has it
    bool offlineSent_ = false;
    qint64 delivered_ = 0;
    int undelivered_ = 0;
    qint64 droppedTotal_ = 0;
    qint64 droppedUnreported_ = 0;

    SettingsHandler settingsHandler_;
    std::mutex inboxMutex_;
    SettingsInbox inbox_; // under inboxMutex_
    std::atomic<qint64> settingsMessages_{0};
    qint64 settingsRefused_ = 0;
    // On the set topic's result topic, by AnswerRank.
    PacedAnswers answers_;
    MqttError error_ = MqttError::None;
    QString errorText_;

    // The firmware's update entity.
    struct UpgradeInbox {
        bool install = false; // the entity's payload came
        QByteArray other;     // the newest payload that was not the entity's, for the answer
        int oversized = 0;
        int retained = 0;
        bool posted = false;
    };
    UpgradeHandler upgradeHandler_;
    UpgradeInbox upgradeInbox_; // under inboxMutex_
    QByteArray firmwareState_;  // the newest state, for every (re)connection
    // On the install topic's result topic: [0] the poller's answer, [1] a refusal of a message.
    PacedAnswers upgradeAnswers_;
};
