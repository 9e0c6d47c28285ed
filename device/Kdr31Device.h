#pragma once
// The KDR31 as every front end sees it: one serial port, one command transaction at a time, and
// the device's operations (connect and identify, scan, one readings poll, the settings send, the
// debug log read). No widgets: the window and the command-line tool both sit on this class.
//
// A transaction waits for its deadline in a local event loop that runs everything but user
// input, so a window stays painted and readable while the device answers, and no click can
// start a second exchange in the middle of one.

#include "debug_log/DebugLog.h"
#include "firmware/UpgradeSteps.h"
#include "readings/ReadingsTable.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>

class MSComm;

// PortState values besides a port number 1-32.
enum : std::uint8_t {
    PortStateClosed = 0,    // no connection; closed by the program, or never opened
    PortStateNoDevice = 99, // the last connect failed: the port did not open, or no device answered
};

// What the device said of itself when it identified: the identify reply's data bytes d0-d15.
struct DeviceIdentity {
    FirmwareVersion version{}; // d0-d3, most significant first
    int interval = 0;          // d4, seconds, as the device sent it
    int country = 0;           // d5: 1 the Netherlands, anything else Belgium
    int protocol = 0;          // d6: DSMR major version 2 or 4, anything else 5
    int divider = 0;           // d7
    QString serialNumber;      // d8-d15; shorter or empty when the reply ends sooner

    bool Nederland() const { return country == 1; }
    int ProtocolIndex() const { return protocol == 2 || protocol == 4 ? protocol : 5; }
};

enum class ConnectOutcome {
    Connected,     // the port opened and the device identified itself
    PortNotOpened, // PortState 99, port closed
    NotIdentified, // PortState 99, port left open
};

class Kdr31Device : public QObject {
    Q_OBJECT
public:
    explicit Kdr31Device(QObject* parent = nullptr);
    ~Kdr31Device() override;

    // How the messages the device layer shows itself ("Settings error") reach the user.
    void SetMessageSink(std::function<void(const QString&)> sink) { messages_ = std::move(sink); }

    MSComm& Port() { return *port_; }
    const MSComm& Port() const { return *port_; }

    // The number of the open port on which the device identified itself, or PortStateClosed /
    // PortStateNoDevice.
    std::uint8_t PortState = PortStateClosed;
    // The end of the current transaction's wait (monotonic seconds).
    double RxDeadline = 0;

    // A device identified itself on the port and the connection has not been closed since.
    bool Connected() const;
    // A transaction is waiting for its deadline.
    bool Busy() const;

    // Opens this device instead of the numbered port's (the command line's --port /dev/...).
    void SetDevicePathOverride(const QString& path);

    // Opens the numbered port with the device's line settings: the number, or PortStateNoDevice.
    std::uint8_t OpenCom(std::uint8_t portNumber);
    void ClosePort();
    // One command transaction: 0 followed by the reply data, or one result byte.
    QByteArray SendCommand(std::uint8_t command, const QByteArray& payload);

    // Opens the port and identifies the device; PortState and Identity() tell the outcome.
    ConnectOutcome Connect(int portNumber);
    // The last successful identification.
    const DeviceIdentity& Identity() const { return identity_; }
    // PortState closed, port closed.
    void Disconnect();

    // Tries ports first to last, in order, until a device identifies itself. before(port) runs
    // before each attempt, after(port, outcome) after it; both may be empty. Every attempt starts
    // from a closed port. Returns the port found, or 0.
    int Scan(int first, int last, const std::function<void(int)>& before,
             const std::function<void(int, ConnectOutcome)>& after);

    // One readings command: the row as the grid keeps it, stamped with the PC's time once the
    // reply is in. A failed exchange gives a Failed row. The tariff rule is applied with the
    // country given (neither: "High").
    ReadingsRow ReadReadings(bool nederland, bool belgie);

    // The settings command with the four values (interval, country, protocol, divider). An
    // answer other than the acknowledgement is reported through the message sink.
    void SendSettings(const QByteArray& payload);

    // One debug log command: text to append and the message to show, if any.
    DebugLogReadOutcome ReadDebugLog();

signals:
    // A transaction has returned; commands held back meanwhile may run now.
    void TransactionEnded();

private:
    MSComm* port_ = nullptr;
    DeviceIdentity identity_;
    std::function<void(const QString&)> messages_;
};

// The identify result turned into the device's identity; nothing when it is no identification
// (a result code, or fewer than the eight data bytes before the serial number).
std::optional<DeviceIdentity> ParseIdentity(const QByteArray& result);
