#include "mqtt/MqttPublisher.h"

#include <cmath>
#include <limits>

#include "mqtt/MqttMessages.h"

#include <QDateTime>
#include <QEventLoop>
#include <QMetaObject>
#include <QThread>
#include <QTimer>
#include <mosquitto.h>
#include <mutex>

namespace {

constexpr int KeepAliveSeconds = 30;
constexpr int QosAtLeastOnce = 1;

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
      firmwareVersion_(std::move(firmwareVersion)) {
    const MqttTopics topics = TopicsFor(options_.prefix, serial_);
    stateTopic_ = topics.state.toUtf8();
    availabilityTopic_ = topics.availability.toUtf8();
    setTopic_ = topics.set.toUtf8();
    setResultTopic_ = topics.setResult.toUtf8();
}

MqttPublisher::~MqttPublisher() {
    Stop(0);
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
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_int_option(mosq_, MOSQ_OPT_SEND_MAXIMUM, InFlightLimit);
    // A reading is one small packet: send it now rather than wait to fill a segment.
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(mosq_, &MqttPublisher::OnConnectCallback);
    mosquitto_disconnect_callback_set(mosq_, &MqttPublisher::OnDisconnectCallback);
    mosquitto_publish_callback_set(mosq_, &MqttPublisher::OnPublishCallback);
    mosquitto_message_callback_set(mosq_, &MqttPublisher::OnMessageCallback);
    mosquitto_subscribe_callback_set(mosq_, &MqttPublisher::OnSubscribeCallback);
    mosquitto_reconnect_delay_set(mosq_, 1, std::max(1u, reconnectMaxSeconds_), true);

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
        return false;
    }

    // The network thread first: a connect that fails at once (a refused port on this machine)
    // is then retried by it with backoff, where it would otherwise end the thread's loop.
    rc = mosquitto_loop_start(mosq_);
    if (rc != MOSQ_ERR_SUCCESS) {
        Fail(MqttError::Setup, QStringLiteral("MQTT network thread: %1")
                                   .arg(QString::fromUtf8(mosquitto_strerror(rc))));
        return false;
    }
    loopRunning_ = true;
    const QByteArray host = options_.host.toUtf8();
    // A broker that is not there yet is not an error: the network loop keeps trying.
    rc = mosquitto_connect_async(mosq_, host.constData(), options_.port, KeepAliveSeconds);
    if (rc == MOSQ_ERR_INVAL || rc == MOSQ_ERR_TLS) {
        Fail(MqttError::Setup, QStringLiteral("MQTT connect to %1:%2: %3")
                                   .arg(options_.host)
                                   .arg(options_.port)
                                   .arg(QString::fromUtf8(mosquitto_strerror(rc))));
        Stop(0);
        return false;
    }
    return true;
}

void MqttPublisher::Publish(const Reading& reading) {
    Q_ASSERT(QThread::currentThread() == thread());
    if (queue_.size() >= static_cast<size_t>(QueueLimit)) {
        // The oldest reading not yet handed over goes; those in flight are the broker's now.
        const auto oldestWaiting = queue_.begin() + inFlight_;
        if (oldestWaiting != queue_.end()) {
            queue_.erase(oldestWaiting);
            ++droppedTotal_;
            ++droppedUnreported_;
        }
    }
    const ReadingsRow& row = reading.row;
    // Import energy is High + Low; both must be in the reply.
    if (row.state == ReadingsRow::Received && !reading.implausible &&
        (row.present & 0b111) == 0b111)
        quarter_.Add({row.time, double(row.fields[1]) + double(row.fields[2])},
                     double(row.fields[0]));
    const QuarterFigures figures = QuarterFiguresOf(quarter_.At(row.time));
    const auto packed = [](const std::optional<double>& v) {
        return v ? float(*v) : std::numeric_limits<float>::quiet_NaN();
    };
    queue_.push_back(
        {row,
         {packed(figures.averageW), packed(figures.forecastW), packed(figures.monthPeakW)},
         0});
    Pump();
}

void MqttPublisher::SetDeviceAvailable(bool available) {
    deviceAvailable_ = available;
    if (connected_)
        PublishRetained(QString::fromUtf8(availabilityTopic_),
                        available ? AvailabilityOnline : AvailabilityOffline);
}

void MqttPublisher::SetSettingsHandler(SettingsHandler handler) {
    settingsHandler_ = std::move(handler);
}

void MqttPublisher::HoldSettings(bool hold) {
    settingsHeld_ = hold;
    HandleSettings();
}

void MqttPublisher::Stop(int drainMilliseconds) {
    if (!mosq_)
        return;
    stopping_ = true;
    if (connected_) {
        offlineMid_ = PublishRetained(QString::fromUtf8(availabilityTopic_), AvailabilityOffline);
        if (drainMilliseconds > 0 && (!queue_.empty() || offlineMid_ != 0)) {
            QEventLoop loop;
            QTimer::singleShot(drainMilliseconds, &loop, &QEventLoop::quit);
            connect(this, &MqttPublisher::drained, &loop, &QEventLoop::quit);
            connect(this, &MqttPublisher::disconnected, &loop, &QEventLoop::quit);
            loop.exec();
        }
    }
    if (loopRunning_) {
        // A clean DISCONNECT: the broker keeps the will to itself; "offline" went out above.
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, false);
        loopRunning_ = false;
    }
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
    connected_ = false;
}

void MqttPublisher::OnConnectCallback(mosquitto*, void* self, int rc) {
    auto* publisher = static_cast<MqttPublisher*>(self);
    QMetaObject::invokeMethod(
        publisher, [publisher, rc] { publisher->OnConnected(rc); }, Qt::QueuedConnection);
}

void MqttPublisher::OnDisconnectCallback(mosquitto*, void* self, int rc) {
    auto* publisher = static_cast<MqttPublisher*>(self);
    QMetaObject::invokeMethod(
        publisher, [publisher, rc] { publisher->OnDisconnected(rc); }, Qt::QueuedConnection);
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
    const QByteArray payload(static_cast<const char*>(message->payload), message->payloadlen);
    QMetaObject::invokeMethod(
        publisher, [publisher, payload] { publisher->OnSetMessage(payload); },
        Qt::QueuedConnection);
}

void MqttPublisher::OnConnected(int rc) {
    if (!mosq_ || stopping_)
        return;
    if (rc != 0) {
        // 4 bad user name or password, 5 not authorised (MQTT 3.1.1): the same answer every
        // time, so stop asking and let the front end say so.
        const MqttError error = rc == 4 || rc == 5 ? MqttError::NotAuthorised : MqttError::Refused;
        Fail(error, ConnackText(rc));
        mosquitto_disconnect(mosq_);
        return;
    }
    connected_ = true;
    // The broker may have restarted without its retained messages: announce everything again.
    PublishRetained(QString::fromUtf8(availabilityTopic_),
                    deviceAvailable_ ? AvailabilityOnline : AvailabilityOffline);
    for (const RetainedMessage& config : DiscoveryConfigs(options_, serial_, firmwareVersion_))
        PublishRetained(config.topic, config.payload);
    if (options_.allowSettings)
        mosquitto_subscribe(mosq_, nullptr, setTopic_.constData(), QosAtLeastOnce);
    emit connected();
    if (droppedUnreported_ > 0) {
        emit readingsDropped(droppedUnreported_);
        droppedUnreported_ = 0;
    }
    Pump();
}

void MqttPublisher::OnDisconnected(int rc) {
    const bool wasConnected = connected_;
    connected_ = false;
    if (wasConnected && rc != 0)
        emit disconnected(QStringLiteral("lost the connection to the MQTT broker (%1); retrying")
                              .arg(QString::fromUtf8(mosquitto_strerror(rc))));
}

void MqttPublisher::OnAcknowledged(int mid) {
    if (mid == offlineMid_)
        offlineMid_ = 0;
    for (int i = 0; i < inFlight_; ++i) {
        if (queue_[static_cast<size_t>(i)].mid == mid) {
            queue_.erase(queue_.begin() + i);
            --inFlight_;
            break;
        }
    }
    Pump();
    if (queue_.empty() && offlineMid_ == 0)
        emit drained();
}

void MqttPublisher::OnSetMessage(const QByteArray& payload) {
    // Never reached without allowSettings (no subscription), checked again all the same.
    if (!options_.allowSettings || !connected_)
        return;
    settingsWaiting_.push_back(payload);
    HandleSettings();
}

void MqttPublisher::HandleSettings() {
    if (settingsHeld_ || handlingSettings_)
        return;
    handlingSettings_ = true;
    while (!settingsHeld_ && !settingsWaiting_.empty() && mosq_) {
        const QByteArray payload = settingsWaiting_.front();
        settingsWaiting_.pop_front();
        SettingsRequestResult result = ParseSettingsJson(payload);
        if (result.refusals.isEmpty()) {
            const QString refusal = settingsHandler_
                                        ? settingsHandler_(result.request)
                                        : QStringLiteral("this poller does not change settings");
            if (!refusal.isEmpty())
                result.refusals << refusal;
        }
        const QByteArray answer = SettingsResultMessage(result.request, result.refusals,
                                                        QDateTime::currentMSecsSinceEpoch());
        mosquitto_publish(mosq_, nullptr, setResultTopic_.constData(),
                          static_cast<int>(answer.size()), answer.constData(), QosAtLeastOnce,
                          false);
    }
    handlingSettings_ = false;
}

int MqttPublisher::PublishRetained(const QString& topic, const QByteArray& payload) {
    const QByteArray name = topic.toUtf8();
    int mid = 0;
    mosquitto_publish(mosq_, &mid, name.constData(), static_cast<int>(payload.size()),
                      payload.constData(), QosAtLeastOnce, true);
    return mid;
}

namespace {

QuarterFigures Unpacked(const std::array<float, 3>& packed) {
    const auto value = [](float v) {
        return std::isnan(v) ? std::nullopt : std::optional<double>(double(v));
    };
    return {value(packed[0]), value(packed[1]), value(packed[2])};
}

} // namespace

void MqttPublisher::Pump() {
    while (connected_ && inFlight_ < InFlightLimit &&
           static_cast<size_t>(inFlight_) < queue_.size()) {
        Pending& next = queue_[static_cast<size_t>(inFlight_)];
        const QByteArray payload = StateMessage({next.row, serial_}, Unpacked(next.quarter));
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
