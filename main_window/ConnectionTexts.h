#pragma once
// What the line below the grid says of the connection, and the scan's box when it found
// nothing. No I/O: the window finds out who holds a port and hands it in.

#include <QString>
#include <QStringList>

// "The KDR31 on COM1: was unplugged and is being looked for."
QString DeviceLostText(int portNumber);
// "The KDR31 on COM1: is back."
QString DeviceBackText(int portNumber);
// "COM1: is in use by kdr31-cli (pid 1234)"; "... by another program" when the system does not
// tell which; when the holder is the readings service, how to free the port follows.
QString PortHeldText(int portNumber, const QString& holder, const QString& serviceUnit);
// "No KDR31 found", the line of the ports refused for permission (named by RefusedPortName), then
// one line for each port another program holds (PortHeldText).
QString NoDeviceFoundText(const QStringList& refusedPorts, const QStringList& heldPorts);
