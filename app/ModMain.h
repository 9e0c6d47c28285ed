#pragma once
// Module-level state shared by the main window, the device link and the upgrade.

#include <QByteArray>
#include <array>
#include <cstdint>

namespace ModMain {

// Bytes received so far in the transaction in progress.
inline QByteArray RxBuffer;

// Firmware version of the last device that identified itself, most significant part first.
inline std::array<std::uint8_t, 4> DeviceFwVersion{};

// 0 = no, -1 = the user pressed Cancel in the progress window.
inline std::int16_t CancelRequested = 0;

// a when a <= b, otherwise b. Caps progress values.
double MinOf(double a, double b);

// The application object's set-up, before any window: name, version and style. It gives no
// display name: Qt would append one to every title the window system shows.
void SetUpApplication();
// Start-up: creates the main window if it does not exist yet and shows it.
void Main();
// Destroys the main window; the program calls it before its application object goes.
void Shutdown();

} // namespace ModMain
