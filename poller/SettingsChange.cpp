#include "poller/SettingsChange.h"

#include "device_link/MSComm.h"
#include "readings/DeviceSettings.h"

#include <algorithm>

SettingsOutcome ChangeSettings(Kdr31Device& device, int portNumber,
                               const SettingsRequest& request) {
    SettingsOutcome outcome;
    device.SetMessageSink([&outcome](const QString& text) { outcome.deviceMessage = text; });

    // What is not given keeps the value the device reports, brought into the range the device
    // accepts, as the window's spinners do.
    const DeviceIdentity before = device.Identity();
    DeviceSettingValues current;
    current.interval = std::clamp(before.interval, 5, 60);
    current.divider = std::clamp(before.divider, 1, 10);
    current.country = before.Nederland() ? 1 : 2;
    current.protocol = before.ProtocolIndex();
    const DeviceSettingValues wanted = ApplySettingsRequest(current, request);
    device.SendSettings(SettingsPayload(wanted.interval, wanted.country == 1, wanted.protocol == 2,
                                        wanted.protocol == 4, wanted.divider));

    // What the device reports now, by identifying it again.
    device.Disconnect();
    outcome.reconnect = device.Connect(portNumber);
    device.SetMessageSink({});
    if (outcome.reconnect != ConnectOutcome::Connected) {
        outcome.kind = SettingsOutcome::Lost;
        outcome.portError = device.Port().LastError();
        device.Disconnect();
        return outcome;
    }
    const DeviceIdentity after = device.Identity();
    const bool taken = after.interval == wanted.interval && after.divider == wanted.divider &&
                       after.Nederland() == (wanted.country == 1) &&
                       after.ProtocolIndex() == wanted.protocol;
    outcome.kind = outcome.deviceMessage.isEmpty() && taken ? SettingsOutcome::Taken
                                                            : SettingsOutcome::NotTaken;
    return outcome;
}

QString SettingsOutcomeText(const SettingsOutcome& outcome) {
    switch (outcome.kind) {
    case SettingsOutcome::Taken:
        return {};
    case SettingsOutcome::NotTaken:
        return QStringLiteral("the KDR31 did not take the settings%1: check the cable and retry")
            .arg(outcome.deviceMessage.isEmpty()
                     ? QString()
                     : QStringLiteral(" (%1)").arg(outcome.deviceMessage));
    case SettingsOutcome::Lost:
        break;
    }
    return QStringLiteral("the KDR31 stopped answering after the settings were sent; the poller "
                          "goes on as soon as it is back");
}
