#pragma once
// Changing the KDR31's settings: the values a request gives, the others kept as the device
// reports them, sent with the settings command, then read back by identifying the device again.
// kdr31-cli set, and the readings service for settings from the broker or the HTTP interface.

#include "device/Kdr31Device.h"
#include "readings/SettingsRequest.h"

#include <QString>

struct SettingsOutcome {
    enum Kind {
        Taken,    // the device reports the values sent
        NotTaken, // it answered, with other values or a message
        Lost,     // it no longer identifies itself: the port is closed
    } kind = Taken;
    QString deviceMessage;                                // what the device said, if anything
    ConnectOutcome reconnect = ConnectOutcome::Connected; // of the read-back, when Lost
    QString portError;                                    // the port's error, when Lost
};

// The device must be connected on portNumber (and any device path override set).
SettingsOutcome ChangeSettings(Kdr31Device& device, int portNumber, const SettingsRequest& request);

// For a remote sender: "" when taken, otherwise what went wrong and what to do.
QString SettingsOutcomeText(const SettingsOutcome& outcome);
