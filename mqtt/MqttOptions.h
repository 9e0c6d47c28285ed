#pragma once
// Where and how the poller publishes: the broker URL and the options around it, as the command
// line gives them. A front end adds them to its parser and reads them back in two calls:
//
//     AddMqttOptions(parser);
//     ...
//     MqttOptions mqtt;
//     QString error;
//     switch (ReadMqttOptions(parser, mqtt, error)) { ... }

#include <QString>
#include <QtGlobal>

class QCommandLineParser;

struct MqttOptions {
    QString host;
    quint16 port = 1883;
    bool tls = false;
    QString caFile; // TLS: the CA certificate(s) to trust; empty: the system's
    QString user;
    QString password;
    QString prefix = QStringLiteral("kdr31");
    QString discoveryPrefix = QStringLiteral("homeassistant");
    bool allowSettings = false; // act on <prefix>/<serial>/set
    bool allowUpgrade = false;  // act on <prefix>/<serial>/firmware/install
    QString clientId;           // empty: kdr31-<serial>
};

constexpr quint16 MqttDefaultPort = 1883;
constexpr quint16 MqttDefaultTlsPort = 8883;

// mqtt://[user[:password]@]host[:port] or mqtts://...; user and password may be
// percent-encoded. Fills host, port, tls, user and password. Returns false with a reason that
// names what is wrong and shows the expected form.
bool ParseMqttUrl(const QString& url, MqttOptions& options, QString& error);

// The URL as typed with any password in it replaced by "***", for messages and logs. It also
// takes text that is not a valid URL: a password typed wrongly is still a password.
QString RedactedMqttUrl(const QString& url);

// A topic prefix: not empty, no "+", "#" or NUL, no leading or trailing "/". Returns the reason
// it cannot be used, or an empty string.
QString CheckTopicPrefix(const QString& prefix, const QString& optionName);

// The password in a file: its first line, without the line end. Returns false with a reason.
bool ReadPasswordFile(const QString& path, QString& password, QString& error);

// --mqtt URL, --mqtt-ca FILE, --mqtt-password-file FILE, --mqtt-prefix PREFIX,
// --mqtt-discovery-prefix PREFIX, --mqtt-allow-settings, --mqtt-allow-upgrade.
void AddMqttOptions(QCommandLineParser& parser);

enum class MqttOptionsStatus {
    NotRequested, // no --mqtt and no other MQTT option
    Valid,
    Invalid, // error says why; the front end exits with its usage error code
};

// Reads the options back after parser.process()/parse(). Any other MQTT option without --mqtt
// is an error, as is a password both in the URL and in a file, and --mqtt-ca without mqtts.
MqttOptionsStatus ReadMqttOptions(const QCommandLineParser& parser, MqttOptions& options,
                                  QString& error);
