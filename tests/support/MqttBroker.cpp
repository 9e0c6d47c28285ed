#include "support/MqttBroker.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <mosquitto.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int StartMilliseconds = 10000;

bool Accepts(quint16 port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

} // namespace

quint16 FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    quint16 port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

MqttBroker::MqttBroker(const QString& user, const QString& password, bool start,
                       const MqttBrokerTls& tls) {
    port_ = FreePort();
    QByteArray config = QStringLiteral("listener %1 127.0.0.1\nlog_dest stderr\n"
                                       "persistence true\npersistence_location %2/\n"
                                       "max_queued_messages 20000\n")
                            .arg(port_)
                            .arg(dir_.path())
                            .toUtf8();
    // Started by root, the broker would become the user "mosquitto", who may not write the
    // test's directory; as anyone else this line changes nothing.
    if (const passwd* self = ::getpwuid(::geteuid()))
        config += QByteArray("user ") + self->pw_name + "\n";
    if (!tls.certFile.isEmpty())
        config += "certfile " + tls.certFile.toUtf8() + "\nkeyfile " + tls.keyFile.toUtf8() + "\n";
    if (user.isEmpty()) {
        config += "allow_anonymous true\n";
    } else {
        const QString passwords = dir_.filePath(QStringLiteral("passwords"));
        QProcess tool;
        tool.start(QStringLiteral(KDR31_MOSQUITTO_PASSWD),
                   {QStringLiteral("-b"), QStringLiteral("-c"), passwords, user, password});
        if (!tool.waitForFinished(StartMilliseconds) || tool.exitCode() != 0) {
            error_ = QStringLiteral("mosquitto_passwd failed: ") +
                     QString::fromLocal8Bit(tool.readAllStandardError()) + tool.errorString();
            return;
        }
        config += "allow_anonymous false\npassword_file " + passwords.toUtf8() + "\n";
    }
    QFile file(dir_.filePath(QStringLiteral("mosquitto.conf")));
    if (!file.open(QIODevice::WriteOnly) || file.write(config) != config.size()) {
        error_ = QStringLiteral("cannot write the broker's configuration");
        return;
    }
    file.close();
    if (start)
        Start();
}

MqttBroker::~MqttBroker() {
    Stop();
}

bool MqttBroker::Start() {
    if (IsRunning())
        return true;
    if (port_ == 0 || !QFile::exists(dir_.filePath(QStringLiteral("mosquitto.conf"))))
        return false;
    process_.start(QStringLiteral(KDR31_MOSQUITTO),
                   {QStringLiteral("-c"), dir_.filePath(QStringLiteral("mosquitto.conf"))});
    process_.waitForStarted(StartMilliseconds);
    const QDeadlineTimer deadline(StartMilliseconds);
    // The broker says nothing on its own when it is ready; a connection attempt every 20 ms
    // until it is taken, bounded by the deadline.
    while (IsRunning() && !Accepts(port_) && !deadline.hasExpired())
        QThread::msleep(20);
    if (!IsRunning() || !Accepts(port_)) {
        error_ = QStringLiteral("the broker did not start: ") +
                 QString::fromLocal8Bit(process_.readAllStandardError()) + process_.errorString();
        Stop();
        return false;
    }
    error_.clear();
    return true;
}

void MqttBroker::Stop() {
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.terminate();
    if (!process_.waitForFinished(StartMilliseconds)) {
        process_.kill();
        process_.waitForFinished(StartMilliseconds);
    }
}

bool PublishLines(quint16 port, const QString& topic, const QByteArray& lines, QString& error) {
    QProcess sender;
    sender.start(QStringLiteral(KDR31_MOSQUITTO_PUB),
                 {QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                  QString::number(port), QStringLiteral("-q"), QStringLiteral("1"),
                  QStringLiteral("-t"), topic, QStringLiteral("-l")});
    if (!sender.waitForStarted(StartMilliseconds)) {
        error = sender.errorString();
        return false;
    }
    sender.write(lines);
    sender.closeWriteChannel();
    if (!sender.waitForFinished(60000) || sender.exitCode() != 0) {
        error = QStringLiteral("mosquitto_pub: ") +
                QString::fromLocal8Bit(sender.readAllStandardError()) + sender.errorString();
        return false;
    }
    return true;
}

MqttSubscriber::MqttSubscriber(quint16 port, const QString& filter) : filter_(filter.toUtf8()) {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
    static std::atomic<int> count{0};
    const QByteArray id = "kdr31-test-subscriber-" + QByteArray::number(::getpid()) + "-" +
                          QByteArray::number(++count);
    mosq_ = mosquitto_new(id.constData(), false, this);
    mosquitto_message_callback_set(mosq_, &MqttSubscriber::OnMessage);
    mosquitto_subscribe_callback_set(mosq_, [](mosquitto*, void* self, int, int, const int*) {
        auto* subscriber = static_cast<MqttSubscriber*>(self);
        std::lock_guard<std::mutex> lock(subscriber->mutex_);
        subscriber->subscribed_ = true;
        subscriber->changed_.notify_all();
    });
    mosquitto_connect_callback_set(mosq_, [](mosquitto* mosq, void* self, int rc) {
        auto* subscriber = static_cast<MqttSubscriber*>(self);
        if (rc == 0)
            mosquitto_subscribe(mosq, nullptr, subscriber->filter_.constData(), 1);
    });
    mosquitto_publish_callback_set(mosq_, [](mosquitto*, void* self, int mid) {
        auto* subscriber = static_cast<MqttSubscriber*>(self);
        std::lock_guard<std::mutex> lock(subscriber->mutex_);
        subscriber->acknowledged_.push_back(mid);
        subscriber->changed_.notify_all();
    });
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
    mosquitto_connect_async(mosq_, "127.0.0.1", port, 30);
    mosquitto_loop_start(mosq_);
}

MqttSubscriber::~MqttSubscriber() {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    mosquitto_destroy(mosq_);
}

void MqttSubscriber::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
    auto* subscriber = static_cast<MqttSubscriber*>(self);
    MqttReceived received{
        QString::fromUtf8(message->topic),
        QByteArray(static_cast<const char*>(message->payload), message->payloadlen),
        message->retain, std::chrono::steady_clock::now()};
    std::lock_guard<std::mutex> lock(subscriber->mutex_);
    subscriber->messages_.push_back(std::move(received));
    subscriber->changed_.notify_all();
}

bool MqttSubscriber::WaitUntil(const std::function<bool()>& done,
                               std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, done);
}

bool MqttSubscriber::WaitSubscribed(std::chrono::milliseconds timeout) {
    return WaitUntil([this] { return subscribed_; }, timeout);
}

bool MqttSubscriber::WaitFor(const QString& topic, size_t count,
                             std::chrono::milliseconds timeout) {
    return WaitUntil(
        [&] {
            size_t n = 0;
            for (const MqttReceived& m : messages_)
                n += topic.isEmpty() || m.topic == topic;
            return n >= count;
        },
        timeout);
}

bool MqttSubscriber::WaitForLast(const QString& topic, const QByteArray& payload,
                                 std::chrono::milliseconds timeout) {
    return WaitUntil(
        [&] {
            for (auto it = messages_.rbegin(); it != messages_.rend(); ++it)
                if (it->topic == topic)
                    return it->payload == payload;
            return false;
        },
        timeout);
}

QByteArray MqttSubscriber::Last(const QString& topic) const {
    const std::vector<MqttReceived> messages = Messages(topic);
    return messages.empty() ? QByteArray() : messages.back().payload;
}

std::vector<MqttReceived> MqttSubscriber::Messages(const QString& topic) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<MqttReceived> selected;
    for (const MqttReceived& m : messages_)
        if (topic.isEmpty() || m.topic == topic)
            selected.push_back(m);
    return selected;
}

bool MqttSubscriber::Publish(const QString& topic, const QByteArray& payload,
                             std::chrono::milliseconds timeout, bool retain) {
    int mid = 0;
    const QByteArray name = topic.toUtf8();
    if (mosquitto_publish(mosq_, &mid, name.constData(), static_cast<int>(payload.size()),
                          payload.constData(), 1, retain) != MOSQ_ERR_SUCCESS)
        return false;
    return WaitUntil(
        [&] {
            return std::find(acknowledged_.begin(), acknowledged_.end(), mid) !=
                   acknowledged_.end();
        },
        timeout);
}
