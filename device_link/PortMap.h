#pragma once
// The serial ports of this machine behind the port numbers 1-32.
//
// Windows: port k is COMk. Elsewhere: port k is the device named in the environment variable
// KDR31_COM<k> when it is set, otherwise the k-th serial port present in the order of
// OrderSerialPorts (USB and ACM adapters first, by their /dev/serial/by-id name). Numbers past
// the ports present have no device.
//
// The machine's ports are read when Refresh() is called (the port list's popup, the start of a
// scan, `kdr31-cli ports`) and once on first use, so an adapter plugged in after start-up is
// found the next time the list is opened. The by-id directory is /dev/serial/by-id unless the
// environment variable KDR31_SERIAL_BY_ID_DIR names another one, which is how the tests put a
// simulated device among the adapters.

#include "device_link/PortList.h"

#include <QStringList>

namespace PortMap {

// Reads the machine's serial ports afresh.
void Refresh();
// The port behind port number k; an entry without a device when there is none.
SerialPortEntry Port(int portNumber);
// `kdr31-cli ports`: reads the ports afresh and gives one line per port number 1-32, "COM<k>:"
// and what is known of its device ("No serial port" when it has none).
QStringList ListLines();

} // namespace PortMap
