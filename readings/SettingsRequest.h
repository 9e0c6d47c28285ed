#pragma once
// A request to change some of the device's four settings, from the command line
// ("kdr31-cli set --interval 30") or from a message on the MQTT set topic ({"interval": 30}).
// Both front ends validate through these functions, so a value one of them refuses the other
// refuses too, with the same reason.

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <optional>

// What the device reports at connect and the settings command carries, in device codes.
struct DeviceSettingValues {
    int interval = 10; // seconds, 5-60
    int country = 1;   // 1 Netherlands, 2 Belgium
    int protocol = 5;  // DSMR major version 2, 4 or 5
    int divider = 1;   // pulse divider, 1-10
};

// The settings a request changes; the others keep the device's values.
struct SettingsRequest {
    std::optional<int> interval;
    std::optional<int> country; // device code 1 or 2
    std::optional<int> protocol;
    std::optional<int> divider;

    bool IsEmpty() const { return !interval && !country && !protocol && !divider; }
};

// The names a request uses, on the command line and in JSON.
inline const QStringList SettingNames = {QStringLiteral("interval"), QStringLiteral("divider"),
                                         QStringLiteral("country"), QStringLiteral("protocol")};

// Takes one setting given as text: "interval" 5-60, "divider" 1-10 (whole numbers),
// "country" nl or be (any case), "protocol" 2, 4 or 5. Returns an empty string when the value
// was taken, otherwise the reason it was refused, naming the setting and the value.
QString SetSettingFromText(SettingsRequest& request, const QString& name, const QString& text);

struct SettingsRequestResult {
    SettingsRequest request;
    QStringList refusals; // empty: the request is valid and changes at least one setting
};

// A JSON object with any of the four names. Numbers may be JSON numbers or decimal text,
// country is text. Every refusal is listed (unknown names, bad values, not an object, nothing
// to change), so one answer tells the sender everything that was wrong.
SettingsRequestResult ParseSettingsJson(const QByteArray& json);

// The device's values with the request's changes on top.
DeviceSettingValues ApplySettingsRequest(const DeviceSettingValues& current,
                                         const SettingsRequest& request);

// Every value the request gives is the one the device reports (in device codes, as it sent
// them): sending it would change nothing.
bool RequestChangesNothing(const DeviceSettingValues& reported, const SettingsRequest& request);

// How a request that passed validation ended, for whoever sent it.
struct SettingsAnswer {
    enum Kind {
        Taken,     // sent, and the device reports the values
        Unchanged, // the device had the values already: nothing was sent
        NotTaken,  // sent, and the device did not take them or stopped answering
        Replaced,  // a newer request from the same sender came before this one was sent
    } kind = Taken;
    QStringList refusals; // NotTaken, Replaced: why, in words for the sender

    bool Ok() const { return kind == Taken || kind == Unchanged; }
};

// {"interval": 30, "country": "be"}: the settings a request changes, in the names and forms
// it was given in.
QJsonObject SettingsRequestJson(const SettingsRequest& request);
