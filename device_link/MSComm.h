#pragma once
// The serial port of the main window: the properties and operations that opening, the command
// transaction and closing use, on top of QSerialPort. Every byte value 0-255 passes unchanged.
//
// Setters return false where the port refuses the value (the caller treats that as the port
// raising an error). A port whose other end disappears is closed at its first read or write
// error, because Qt would otherwise report the error again and again and spin a core.

#include "device_link/PortClaim.h"

#include <QObject>
#include <QSerialPort>
#include <QString>

class MSComm : public QObject {
    Q_OBJECT
public:
    enum Handshake { comNone = 0 };
    enum InputModeValue { comInputModeText = 0 };

    explicit MSComm(QObject* parent = nullptr);
    ~MSComm() override;

    // The device behind port number k (device_link/PortMap): "COMk" on Windows; elsewhere the
    // path in the environment variable KDR31_COM<k>, or the k-th serial port present. Empty when
    // the number has no device.
    static QString DevicePath(int portNumber);

    bool SetHandshaking(int mode);
    // Refused while the port is open and for numbers outside 1-255.
    bool SetCommPort(int portNumber);
    bool SetRTSEnable(bool enable);
    // "baud,parity,data bits,stop bits", e.g. "115200,N,8,1".
    bool SetSettings(const QString& settings);
    bool SetInputLen(int length);
    bool SetInputMode(int mode);
    // Opening fails when the port is open already or the device cannot be opened.
    bool SetPortOpen(bool open);

    bool PortOpen() const;
    int CommPort() const { return portNumber_; }
    QString LastError() const { return lastError_; }
    // The device of the last attempt to open, and whether the system refused it for lack of
    // permission (the user is not in the group that owns the serial ports).
    QString LastDevice() const { return lastDevice_; }
    bool OpenRefusedForPermission() const { return refusedForPermission_; }
    // Whether the last attempt to open was refused because another program holds the port;
    // LastError() then says so and names that program where the system can tell.
    bool OpenRefusedAsHeld() const { return refusedAsHeld_; }

    // Writes the whole string; false (nothing written) when the port is not open or the write
    // fails, in which case the port is closed.
    bool Output(const QByteArray& bytes);
    // Everything received so far, without blocking; empty when nothing is waiting.
    QByteArray Input();
    // Waits until bytes are waiting, the time has passed or the port fails; never spins. The
    // wait runs a local event loop that processes everything except user input (painting,
    // timers, window-system and accessibility requests go on; mouse and key events wait until
    // the caller is back in the main loop). Without an application object it blocks on the port.
    // Returns true when bytes are waiting.
    bool WaitForInput(int msecs);

    // Opens this device instead of the numbered port's; empty for the numbered port's.
    void SetDevicePathOverride(const QString& path) { pathOverride_ = path; }
    QString DevicePathOverride() const { return pathOverride_; }

    // While held, closing the port keeps it claimed, and the next open of the same device takes
    // it up again: the port is closed and opened again (around a firmware upgrade's reboot)
    // without a moment in which another program could take it. The port is then closed to this
    // program only: its descriptor stays open and exclusive, and what arrives meanwhile is
    // dropped, because Qt's own close and open give up the exclusivity for as long as its lock
    // file takes. Letting go closes it and releases the claim at once when the port is closed by
    // then. A port that fails (a pulled cable) lets its claim go all the same.
    void HoldClaim(bool hold);
    bool ClaimHeld() const { return holdClaim_; }
    // The kernel's claim on the port's device is this program's.
    bool Claimed() const { return claim_.Claimed(); }

    // One command transaction at a time may use the port.
    bool InTransaction() const { return inTransaction_; }
    void SetInTransaction(bool active) { inTransaction_ = active; }

signals:
    // The port was closed because its other end went away or it failed.
    void PortLost(const QString& reason);

private:
    void CheckForFailure();
    void CloseAfterFailure();
    // Open for this program's use, not only kept open for the claim.
    bool Usable() const { return port_.isOpen() && !parked_; }
    // Takes a port kept open for the claim up again, when it is still the device asked for.
    bool Unpark();
    bool OpenPastStaleLockFile();
    void ExplainLockRefusal();

    QSerialPort port_;
    int portNumber_ = 1;
    int handshaking_ = comNone;
    bool rtsEnable_ = false;
    qint32 baud_ = 9600;
    QSerialPort::Parity parity_ = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits_ = QSerialPort::Data8;
    QSerialPort::StopBits stopBits_ = QSerialPort::OneStop;
    int inputLen_ = 0;
    int inputMode_ = comInputModeText;
    bool inTransaction_ = false;
    int openGeneration_ = 0;
    QString lastError_;
    QString lastDevice_;
    bool refusedForPermission_ = false;
    bool refusedAsHeld_ = false;
    // Held from the open to the close: the kernel's word that this program alone has the port.
    PortClaim claim_;
    QString claimedDevice_; // the device of claim_
    bool holdClaim_ = false;
    // Closed to this program while the claim is held, but kept open (see HoldClaim).
    bool parked_ = false;
    QString pathOverride_;
};
