#pragma once
// Opening the KDR31 from the command line, and saying what to do when that fails.

#include "cli/CliOptions.h"
#include "device/Kdr31Device.h"

#include <QJsonObject>
#include <QString>
#include <functional>

class DeviceLoop;

// Points the device at the chosen port (a device path replaces the numbered port's device).
void UsePort(Kdr31Device& device, const PortChoice& port);
// Opens the port and identifies the KDR31; on failure prints a line that says what to do,
// unless cancelled() says the user broke it off.
bool ConnectOrExplain(Kdr31Device& device, const PortChoice& port,
                      const std::function<bool()>& cancelled = {});
// Lines on standard error when the loop's device goes away and when it is back.
void ReportLostAndBack(DeviceLoop& loop, const PortChoice& port);
// The line for a failed connect: the port could not be opened (missing, no permission, busy) or
// no KDR31 answered on it.
QString ConnectFailureText(const PortChoice& port, ConnectOutcome outcome,
                           const QString& portError);

// The port is held by the readings service (its unit, its process as PortClaim names it), which
// upgrades the KDR31 itself between two readings: how to ask it, with curl and from Home
// Assistant, from what the service's configuration file (its text; empty where it cannot be
// read) says of its HTTP side and its options, and how to stop it instead.
QString HeldByServiceText(const QString& unit, const QString& holder, const QByteArray& config,
                          bool root);
// The service's configuration file: /etc/kdr31/<instance>.conf.
QString ServiceConfigPath(const QString& unit);

// "V1.2.3.4 s/n:KD310042"
QString IdentityLine(const DeviceIdentity& identity);
// The identity and settings, a "Name: value" line each.
QString IdentityText(const PortChoice& port, const DeviceIdentity& identity);
QJsonObject IdentityJson(const PortChoice& port, const DeviceIdentity& identity);
