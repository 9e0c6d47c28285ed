#pragma once
// Whether the program holding a serial port is the readings service (kdr31-mqtt@<instance>
// under systemd), so that a user who finds the port taken can be told how to free it.

#include <QByteArray>
#include <QString>

// The service unit, "kdr31-mqtt@ttyUSB0", that the process with this pid runs as; empty when it
// is none, or when /proc does not tell.
QString ServiceUnitOfProcess(qint64 pid);

// The same from what /proc tells of the process: its cgroup file (the unit's own cgroup, which a
// process of a service cannot leave) or, where that names no unit (no systemd, a container), its
// command line (NUL-separated) as the unit starts it: kdr31-cli poll ... --config
// /etc/kdr31/<instance>.conf. Only names systemd could have made are taken.
QString ServiceUnitOf(const QByteArray& cgroupFile, const QByteArray& commandLine);

// The process id in a holder's description ("kdr31-cli (pid 1234)"); 0 when it names none.
qint64 HolderPid(const QString& holder);

// The shell command that stops the unit, quoted where the unit's name needs it.
QString StopServiceCommand(const QString& unit);
