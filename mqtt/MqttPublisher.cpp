#include "mqtt/MqttPublisher.h"

#include <cmath>
#include <limits>

#include "mqtt/MqttMessages.h"

#include <QDateTime>
#include <QEventLoop>
#include <QMetaObject>
#include <QThread>
#include <QTimer>
#include <chrono>
#include <cstring>
#include <mosquitto.h>

namespace {

constexpr int KeepAliveSeconds = 30;
constexpr int QosAtLeastOnce = 1;
// How long one turn of the network loop waits for the socket; a publish wakes it sooner.
constexpr int LoopMilliseconds = 100;
// After Stop's DISCONNECT, how long the network loop may take to write it and close.
constexpr auto GoodbyeLimit = std::chrono::milliseconds(1000);

void InitLibraryOnce() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

QString ConnackText(int rc) {
    return QStringLiteral("the broker refused the connection: %1 (code %2)")
        .arg(QString::fromUtf8(mosquitto_connack_string(rc)))
        .arg(rc);
}

} // namespace

MqttPublisher::MqttPublisher(MqttOptions options, QString serial, QString firmwareVersion,
                             QObject* parent)
    : QObject(parent), options_(std::move(options)), serial_(std::move(serial)),
      firmwareVersion_(std::move(firmwareVersion)),
      answers_(
          AnswerRanks, AnswerMilliseconds,
          [this](const QByteArray& answer) { PublishOn(setResultTopic_, answer); },
          [this] { return mosq_ && !stopping_; }),
      upgradeAnswers_(
          2, AnswerMilliseconds,
          [this](const QByteArray& answer) { PublishOn(upgradeResultTopic_, answer); },
          [this] { return mosq_ && !stopping_; }) {
    const MqttTopics topics = TopicsFor(options_.prefix, serial_);
    stateTopic_ = topics.state.toUtf8();
    availabilityTopic_ = topics.availability.toUtf8();
    setTopic_ = topics.set.toUtf8();
    setResultTopic_ = topics.setResult.toUtf8();
    const FirmwareTopics firmware = FirmwareTopicsFor(options_.prefix, serial_);
    firmwareTopic_ = firmware.state.toUtf8();
    installTopic_ = firmware.install.toUtf8();
    upgradeResultTopic_ = firmware.result.toUtf8();
}

MqttPublisher::~MqttPublisher() {
    Stop(0);
}

QString MqttPublisher::BrokerName() const {
    return QStringLiteral("%1:%2").arg(options_.host).arg(options_.port);
}

bool MqttPublisher::Start() {
    if (mosq_)
        return true;
    InitLibraryOnce();
    const QByteArray clientId =
        (options_.clientId.isEmpty() ? QStringLiteral("kdr31-") + SerialTopicLevel(serial_)
                                     : options_.clientId)
            .toUtf8();
    mosq_ = mosquitto_new(clientId.constData(), true, this);
    if (!mosq_) {
        Fail(MqttError::Setup, QStringLiteral("libmosquitto could not make a client"));
        return false;
    }
    // Our own thread runs the loop: the library must lock, and wake it when we publish.
    mosquitto_threaded_set(mosq_, true);
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_int_option(mosq_, MOSQ_OPT_SEND_MAXIMUM, InFlightLimit);
    // A reading is one small packet: send it now rather than wait to fill a segment.
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(mosq_, &MqttPublisher::OnConnectCallback);
    mosquitto_publish_callback_set(mosq_, &MqttPublisher::OnPublishCallback);
    mosquitto_message_callback_set(mosq_, &MqttPublisher::OnMessageCallback);
    mosquitto_subscribe_callback_set(mosq_, &MqttPublisher::OnSubscribeCallback);
    // The only place the library names what OpenSSL did not like.
    mosquitto_log_callback_set(mosq_, &MqttPublisher::OnLogCallback);

    int rc = mosquitto_will_set(mosq_, availabilityTopic_.constData(),
                                static_cast<int>(AvailabilityOffline.size()),
                                AvailabilityOffline.constData(), QosAtLeastOnce, true);
    if (rc == MOSQ_ERR_SUCCESS && !options_.user.isEmpty()) {
        const QByteArray user = options_.user.toUtf8();
        const QByteArray password = options_.password.toUtf8();
        rc = mosquitto_username_pw_set(
            mosq_, user.constData(), options_.password.isEmpty() ? nullptr : password.constData());
    }
    if (rc == MOSQ_ERR_SUCCESS && options_.tls) {
        const QByteArray caFile = options_.caFile.toLocal8Bit();
        // Without a CA file of its own the client trusts what the system trusts.
        rc = options_.caFile.isEmpty()
                 ? mosquitto_int_option(mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1)
                 : mosquitto_tls_set(mosq_, caFile.constData(), nullptr, nullptr, nullptr, nullptr);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        Fail(
            MqttError::Setup,
            QStringLiteral("MQTT client setup: %1").arg(QString::fromUtf8(mosquitto_strerror(rc))));
        mosquitto_destroy(mosq_);
        mosq_ = nullptr;
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(stopMutex_);
        stopRequested_ = false;
    }
    stopping_ = false;
    offlineSent_ = false;
    // The first attempt here, so what can never work (a host name the library refuses) is said
    // at once. A broker that is not there yet is not an error: the network thread keeps trying.
    // A TLS error here is the handshake done at once on a fast network; the network thread
    // names it like any other.
    const QByteArray host = options_.host.toUtf8();
    rc = mosquitto_connect_async(mosq_, host.constData(), options_.port, KeepAliveSeconds);
    if (rc == MOSQ_ERR_INVAL) {
        Fail(MqttError::Setup, QStringLiteral("MQTT connect to %1: %2")
                                   .arg(BrokerName(), QString::fromUtf8(mosquitto_strerror(rc))));
        mosquitto_destroy(mosq_);
        mosq_ = nullptr;
        return false;
    }
    network_ = std::thread([this, rc] { NetworkLoop(rc); });
    return true;
}

bool MqttPublisher::StopRequested() {
    std::lock_guard<std::mutex> lock(stopMutex_);
    return stopRequested_;
}

bool MqttPublisher::WaitUnlessStopped(unsigned seconds) {
    std::unique_lock<std::mutex> lock(stopMutex_);
    return !stopChanged_.wait_for(lock, std::chrono::seconds(seconds),
                                  [this] { return stopRequested_; });
}

void MqttPublisher::NetworkLoop(int firstRc) {
    bool first = true;
    unsigned failures = 0; // attempts in a row that did not get in
    while (!StopRequested()) {
        if (!first) {
            std::lock_guard<std::mutex> lock(tlsMutex_);
            tlsText_.clear();
        }
        accepted_ = false;
        int rc = first ? firstRc : mosquitto_reconnect_async(mosq_);
        first = false;
        std::optional<std::chrono::steady_clock::time_point> goodbyeDeadline;
        while (rc == MOSQ_ERR_SUCCESS) {
            rc = mosquitto_loop(mosq_, LoopMilliseconds, 1);
            // Stop's DISCONNECT ends the connection by itself once written; this is for a
            // connection that never got that far.
            if (StopRequested()) {
                const auto now = std::chrono::steady_clock::now();
                if (!goodbyeDeadline)
                    goodbyeDeadline = now + GoodbyeLimit;
                else if (now > *goodbyeDeadline)
                    break;
            }
        }
        if (StopRequested())
            break;
        const bool wasAccepted = accepted_;
        QString tls;
        {
            std::lock_guard<std::mutex> lock(tlsMutex_);
            tls = tlsText_;
        }
        // The library logs its errors; on a TLS failure that is the only place with OpenSSL's
        // reason.
        const bool isTls = rc == MOSQ_ERR_TLS || tls.contains(QLatin1String("SSL"));
        const QString reason = tls.isEmpty() ? QString::fromUtf8(mosquitto_strerror(rc)) : tls;
        QMetaObject::invokeMethod(
            this,
            [this, wasAccepted, reason, isTls] { OnConnectionEnded(wasAccepted, reason, isTls); },
            Qt::QueuedConnection);
        if (refusedForGood_) {
            // The broker said no to who we are; asking again gets the same answer.
            std::unique_lock<std::mutex> lock(stopMutex_);
            stopChanged_.wait(lock, [this] { return stopRequested_; });
            break;
        }
        if (wasAccepted)
            failures = 0;
        const unsigned wait =
            std::min(1u << std::min(failures, 16u), std::max(1u, reconnectMaxSeconds_));
        ++failures;
        if (!WaitUnlessStopped(wait))
            break;
    }
}

void MqttPublisher::Publish(const Reading& reading) {
    Q_ASSERT(QThread::currentThread() == thread());
    if (queue_.size() >= static_cast<size_t>(queueLimit_)) {
        // The oldest reading not yet handed over goes; those in flight are the broker's now.
        const auto oldestWaiting = queue_.begin() + inFlight_;
        if (oldestWaiting != queue_.end()) {
            queue_.erase(oldestWaiting);
            ++droppedTotal_;
            ++droppedUnreported_;
        }
    }
    const CapacityFigures figures =
        reading.capacity ? CapacityFiguresOf(*reading.capacity) : CapacityFigures{};
    const auto packed = [](const std::optional<double>& v) {
        return v ? float(*v) : std::numeric_limits<float>::quiet_NaN();
    };
    queue_.push_back(
        {reading.row,
         reading.implausible,
         {packed(figures.averageW), packed(figures.forecastW), packed(figures.monthPeakW),
          packed(figures.thresholdW), packed(figures.headroomW), packed(figures.billedPeakW)},
         qint8(figures.peakWarning ? int(*figures.peakWarning) : -1),
         0});
    Pump();
}

void MqttPublisher::SetDeviceAvailable(bool available) {
    deviceAvailable_ = available;
    if (connected_ && !stopping_)
        PublishRetained(QString::fromUtf8(availabilityTopic_),
                        available ? AvailabilityOnline : AvailabilityOffline);
}

void MqttPublisher::SetSettingsHandler(SettingsHandler handler) {
    settingsHandler_ = std::move(handler);
}

void MqttPublisher::ReportSettingsResult(const SettingsRequest& request,
                                         const SettingsAnswer& answer) {
    switch (answer.kind) {
    case SettingsAnswer::Taken:
    case SettingsAnswer::NotTaken:
        return Answer(Applied, request, answer.refusals);
    case SettingsAnswer::Unchanged:
        return Answer(Settled, request, {}, true);
    case SettingsAnswer::Replaced:
        return Answer(Refused, request, answer.refusals);
    }
}

void MqttPublisher::Stop(int drainMilliseconds) {
    if (!mosq_)
        return;
    stopping_ = true;
    // The answers still waiting for their turn are the last: they go now, before "offline".
    answers_.Flush();
    upgradeAnswers_.Flush();
    if (connected_ && !offlineSent_) {
        offlineMid_ = PublishRetained(QString::fromUtf8(availabilityTopic_), AvailabilityOffline);
        offlineSent_ = true;
    }
    // Not yet connected with readings waiting: the broker may take us within the drain time,
    // and OnConnected then sends them and "offline". A broker that refused us will not.
    const bool worthWaiting = connected_ ? !queue_.empty() || offlineMid_ != 0
                                         : !queue_.empty() && error_ == MqttError::None;
    if (drainMilliseconds > 0 && worthWaiting) {
        QEventLoop loop;
        QTimer::singleShot(drainMilliseconds, &loop, &QEventLoop::quit);
        connect(this, &MqttPublisher::drained, &loop, &QEventLoop::quit);
        connect(this, &MqttPublisher::failed, &loop, &QEventLoop::quit);
        loop.exec();
    }
    // A clean DISCONNECT: the broker keeps the will to itself; "offline" went out above.
    mosquitto_disconnect(mosq_);
    {
        std::lock_guard<std::mutex> lock(stopMutex_);
        stopRequested_ = true;
    }
    stopChanged_.notify_all();
    if (network_.joinable())
        network_.join();
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
    connected_ = false;
    undelivered_ = static_cast<int>(queue_.size());
    queue_.clear();
    inFlight_ = 0;
}

void MqttPublisher::OnConnectCallback(mosquitto*, void* self, int rc) {
    auto* publisher = static_cast<MqttPublisher*>(self);
    publisher->accepted_ = rc == 0;
    if (rc != 0)
        publisher->refusedForGood_ = true;
    QMetaObject::invokeMethod(
        publisher, [publisher, rc] { publisher->OnConnected(rc); }, Qt::QueuedConnection);
}

void MqttPublisher::OnPublishCallback(mosquitto*, void* self, int mid) {
    auto* publisher = static_cast<MqttPublisher*>(self);
    QMetaObject::invokeMethod(
        publisher, [publisher, mid] { publisher->OnAcknowledged(mid); }, Qt::QueuedConnection);
}

void MqttPublisher::OnSubscribeCallback(mosquitto*, void* self, int, int, const int*) {
    auto* publisher = static_cast<MqttPublisher*>(self);
    QMetaObject::invokeMethod(
        publisher, [publisher] { emit publisher->listeningForSettings(); }, Qt::QueuedConnection);
}

void MqttPublisher::OnMessageCallback(mosquitto*, void* self, const mosquitto_message* message) {
    auto* publisher = static_cast<MqttPublisher*>(self);
    if (message->topic && publisher->options_.allowUpgrade &&
        publisher->installTopic_ == message->topic) {
        bool post = false;
        {
            std::lock_guard<std::mutex> lock(publisher->inboxMutex_);
            UpgradeInbox& inbox = publisher->upgradeInbox_;
            const QByteArray payload(
                static_cast<const char*>(message->payload),
                message->payloadlen > InstallPayloadLimit ? 0 : message->payloadlen);
            if (message->payloadlen > InstallPayloadLimit)
                ++inbox.oversized;
            else if (message->retain)
                ++inbox.retained;
            else if (payload == FirmwareInstallPayload)
                inbox.install = true;
            else
                inbox.other = payload;
            post = !inbox.posted;
            inbox.posted = true;
        }
        if (post)
            QMetaObject::invokeMethod(
                publisher, [publisher] { publisher->OnUpgradeInbox(); }, Qt::QueuedConnection);
        return;
    }
    // Never reached without allowSettings (no subscription), checked again all the same.
    if (!publisher->options_.allowSettings || !message->topic ||
        publisher->setTopic_ != message->topic)
        return;
    ++publisher->settingsMessages_;
    bool post = false;
    {
        std::lock_guard<std::mutex> lock(publisher->inboxMutex_);
        SettingsInbox& inbox = publisher->inbox_;
        if (message->payloadlen > SettingsPayloadLimit)
            ++inbox.oversized;
        else if (message->retain)
            ++inbox.retained;
        else
            inbox.payload =
                QByteArray(static_cast<const char*>(message->payload), message->payloadlen);
        post = !inbox.posted;
        inbox.posted = true;
    }
    if (post)
        QMetaObject::invokeMethod(
            publisher, [publisher] { publisher->OnSettingsInbox(); }, Qt::QueuedConnection);
}

void MqttPublisher::OnLogCallback(mosquitto*, void* self, int level, const char* text) {
    if (!(level & MOSQ_LOG_ERR) || !text)
        return;
    // "OpenSSL Error[0]: error:0A000086:SSL routines::certificate verify failed", "Error:
    // Unable to load CA certificates ...": the first error of an attempt is the cause, the rest
    // follow from it.
    static constexpr char OpenSsl[] = "OpenSSL Error";
    static constexpr char Plain[] = "Error: ";
    const char* reason = text;
    if (std::strncmp(text, OpenSsl, sizeof OpenSsl - 1) == 0) {
        const char* colon = std::strstr(text, "]: ");
        reason = colon ? colon + 3 : text;
    } else if (std::strncmp(text, Plain, sizeof Plain - 1) == 0) {
        reason = text + sizeof Plain - 1;
    }
    auto* publisher = static_cast<MqttPublisher*>(self);
    std::lock_guard<std::mutex> lock(publisher->tlsMutex_);
    if (publisher->tlsText_.isEmpty())
        publisher->tlsText_ = QString::fromUtf8(reason);
}

void MqttPublisher::OnConnected(int rc) {
    if (!mosq_)
        return;
    if (rc != 0) {
        // 4 bad user name or password, 5 not authorised (MQTT 3.1.1): the same answer every
        // time, so the network thread stops asking and the front end says so.
        const MqttError error = rc == 4 || rc == 5 ? MqttError::NotAuthorised : MqttError::Refused;
        Fail(error, ConnackText(rc));
        return;
    }
    connected_ = true;
    everConnected_ = true;
    outageReported_ = false;
    if (stopping_) {
        // Taken during Stop's drain: the queue goes out, and the goodbye after it.
        Pump();
        offlineMid_ = PublishRetained(QString::fromUtf8(availabilityTopic_), AvailabilityOffline);
        offlineSent_ = true;
        return;
    }
    // The broker may have restarted without its retained messages: announce everything again.
    PublishRetained(QString::fromUtf8(availabilityTopic_),
                    deviceAvailable_ ? AvailabilityOnline : AvailabilityOffline);
    PublishDiscovery();
    if (!firmwareState_.isEmpty())
        PublishRetained(QString::fromUtf8(firmwareTopic_), firmwareState_);
    if (options_.allowSettings)
        mosquitto_subscribe(mosq_, nullptr, setTopic_.constData(), QosAtLeastOnce);
    if (options_.allowUpgrade)
        mosquitto_subscribe(mosq_, nullptr, installTopic_.constData(), QosAtLeastOnce);
    emit connected();
    if (droppedUnreported_ > 0) {
        emit readingsDropped(droppedUnreported_);
        droppedUnreported_ = 0;
    }
    Pump();
}

void MqttPublisher::OnConnectionEnded(bool wasAccepted, const QString& reason, bool tls) {
    if (!mosq_)
        return;
    connected_ = false;
    if (stopping_ || error_ == MqttError::NotAuthorised || error_ == MqttError::Refused)
        return;
    // A certificate problem does not mend itself, but a broker's certificate may be replaced
    // while we wait: keep trying with backoff, and say what is wrong once per outage.
    if (tls && !outageReported_) {
        outageReported_ = true;
        emit disconnected(QStringLiteral("TLS error with the MQTT broker %1: %2; check --mqtt-ca "
                                         "and the broker's certificate; retrying")
                              .arg(BrokerName(), reason));
    } else if (wasAccepted) {
        outageReported_ = true;
        emit disconnected(QStringLiteral("lost the connection to the MQTT broker %1 (%2); retrying")
                              .arg(BrokerName(), reason));
    }
}

void MqttPublisher::OnAcknowledged(int mid) {
    if (mid == offlineMid_)
        offlineMid_ = 0;
    for (int i = 0; i < inFlight_; ++i) {
        if (queue_[static_cast<size_t>(i)].mid == mid) {
            queue_.erase(queue_.begin() + i);
            --inFlight_;
            ++delivered_;
            break;
        }
    }
    Pump();
    CheckDrained();
}

void MqttPublisher::CheckDrained() {
    if (queue_.empty() && offlineMid_ == 0 && (!stopping_ || offlineSent_))
        emit drained();
}

void MqttPublisher::OnSettingsInbox() {
    SettingsInbox inbox;
    {
        std::lock_guard<std::mutex> lock(inboxMutex_);
        std::swap(inbox, inbox_);
    }
    if (!mosq_ || stopping_)
        return;
    if (inbox.oversized > 0) {
        settingsRefused_ += inbox.oversized;
        Answer(Refused, {},
               {QStringLiteral("a settings message over %1 bytes was refused unread")
                    .arg(SettingsPayloadLimit)});
    }
    if (inbox.retained > 0) {
        settingsRefused_ += inbox.retained;
        Answer(Refused, {},
               {QStringLiteral("a settings message handed over as retained is not applied: "
                               "publish it without the retain flag")});
    }
    if (!inbox.payload)
        return;
    const SettingsRequestResult result = ParseSettingsJson(*inbox.payload);
    if (!result.refusals.isEmpty()) {
        ++settingsRefused_;
        Answer(Refused, result.request, result.refusals);
    } else if (!settingsHandler_) {
        Answer(Settled, result.request, {QStringLiteral("this poller does not change settings")});
    } else {
        settingsHandler_(result.request);
    }
}

void MqttPublisher::Answer(AnswerRank rank, const SettingsRequest& request,
                           const QStringList& refusals, bool unchanged) {
    answers_.Put(rank, SettingsResultMessage(request, refusals, QDateTime::currentMSecsSinceEpoch(),
                                             unchanged));
}

void MqttPublisher::PublishOn(const QByteArray& topic, const QByteArray& payload) {
    mosquitto_publish(mosq_, nullptr, topic.constData(), static_cast<int>(payload.size()),
                      payload.constData(), QosAtLeastOnce, false);
}

int MqttPublisher::PublishRetained(const QString& topic, const QByteArray& payload) {
    const QByteArray name = topic.toUtf8();
    int mid = 0;
    mosquitto_publish(mosq_, &mid, name.constData(), static_cast<int>(payload.size()),
                      payload.constData(), QosAtLeastOnce, true);
    return mid;
}

namespace {

CapacityFigures Unpacked(const std::array<float, 6>& packed, qint8 peakWarning) {
    const auto value = [](float v) {
        return std::isnan(v) ? std::nullopt : std::optional<double>(double(v));
    };
    CapacityFigures figures{value(packed[0]), value(packed[1]), value(packed[2]), value(packed[3]),
                            value(packed[4]), std::nullopt,     value(packed[5])};
    if (peakWarning >= 0)
        figures.peakWarning = peakWarning > 0;
    return figures;
}

} // namespace

void MqttPublisher::Pump() {
    while (connected_ && inFlight_ < InFlightLimit &&
           static_cast<size_t>(inFlight_) < queue_.size()) {
        Pending& next = queue_[static_cast<size_t>(inFlight_)];
        Reading reading{next.row, serial_};
        reading.implausible = next.implausible;
        const QByteArray payload = StateMessage(reading, Unpacked(next.capacity, next.peakWarning));
        int mid = 0;
        const int rc = mosquitto_publish(mosq_, &mid, stateTopic_.constData(),
                                         static_cast<int>(payload.size()), payload.constData(),
                                         QosAtLeastOnce, false);
        // NO_CONN: the connection dropped a moment ago; libmosquitto has queued the message
        // and sends it after the reconnect, so it counts as handed over.
        if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN) {
            qWarning("MQTT: a reading could not be published (%s); it is dropped",
                     mosquitto_strerror(rc));
            queue_.erase(queue_.begin() + inFlight_);
            ++droppedTotal_;
            continue;
        }
        next.mid = mid;
        ++inFlight_;
    }
}

void MqttPublisher::Fail(MqttError error, const QString& text) {
    error_ = error;
    errorText_ = text;
    emit failed(error, text);
}

// The firmware's update entity.

void MqttPublisher::PublishDiscovery() {
    for (const RetainedMessage& config : DiscoveryConfigs(options_, serial_, firmwareVersion_))
        PublishRetained(config.topic, config.payload);
    const RetainedMessage update = FirmwareUpdateConfig(options_, serial_, firmwareVersion_);
    PublishRetained(update.topic, update.payload);
}

void MqttPublisher::SetFirmwareVersion(const QString& firmwareVersion) {
    if (firmwareVersion == firmwareVersion_)
        return;
    firmwareVersion_ = firmwareVersion;
    if (connected_ && !stopping_)
        PublishDiscovery();
}

void MqttPublisher::PublishFirmwareState(const FirmwareStatus& status) {
    const QByteArray state = FirmwareStateMessage(status);
    if (state == firmwareState_)
        return;
    firmwareState_ = state;
    if (connected_ && !stopping_)
        PublishRetained(QString::fromUtf8(firmwareTopic_), firmwareState_);
}

void MqttPublisher::SetUpgradeHandler(UpgradeHandler handler) {
    upgradeHandler_ = std::move(handler);
}

void MqttPublisher::OnUpgradeInbox() {
    UpgradeInbox inbox;
    {
        std::lock_guard<std::mutex> lock(inboxMutex_);
        std::swap(inbox, upgradeInbox_);
    }
    if (!mosq_ || stopping_)
        return;
    const auto refuse = [this](const QString& why) {
        AnswerUpgrade(false, UpgradeAnswerMessage({UpgradeAnswer::Refused, why, QString()},
                                                  QDateTime::currentMSecsSinceEpoch()));
    };
    if (inbox.oversized > 0)
        refuse(QStringLiteral("an install message over %1 bytes was refused unread")
                   .arg(InstallPayloadLimit));
    if (inbox.retained > 0)
        refuse(QStringLiteral("an install message handed over as retained is not acted on: "
                              "publish it without the retain flag"));
    if (!inbox.other.isEmpty() || (!inbox.install && inbox.oversized == 0 && inbox.retained == 0))
        refuse(QStringLiteral("the install topic takes \"%1\" alone: nothing else is installed "
                              "this way")
                   .arg(QLatin1String(FirmwareInstallPayload)));
    if (!inbox.install)
        return;
    if (!upgradeHandler_)
        return refuse(QStringLiteral("this poller does not upgrade the firmware"));
    upgradeHandler_();
}

void MqttPublisher::ReportUpgradeAnswer(const UpgradeAnswer& answer) {
    AnswerUpgrade(true, UpgradeAnswerMessage(answer, QDateTime::currentMSecsSinceEpoch()));
}

void MqttPublisher::AnswerUpgrade(bool poller, const QByteArray& payload) {
    upgradeAnswers_.Put(poller ? 0 : 1, payload);
}
