#pragma once
// The window title doubles as the connection display.

#include <QString>
#include <array>
#include <cstdint>

// "KDR31 Visualisation": the window's title at start and the title of every message box.
QString ApplicationTitle();

// "KDR31 V1.9 ----": the program's major version and revision.
QString NotConnectedTitle();

// "Zevizudove V1.9 s/n:<serial> Listening to COM<port> KDR31 FW V<a>.<b>.<c>.<d>".
QString ConnectedTitle(const QString& serialNumber, int portNumber,
                       const std::array<std::uint8_t, 4>& firmwareVersion);
