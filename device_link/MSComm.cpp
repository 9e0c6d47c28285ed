#include "device_link/MSComm.h"
#include "device_link/PortMap.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QStringList>
#include <QTimer>
#include <QtGlobal>
#include <cerrno>
#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

namespace {

bool IsFatal(QSerialPort::SerialPortError error) {
    return error == QSerialPort::ReadError || error == QSerialPort::WriteError ||
           error == QSerialPort::ResourceError;
}

} // namespace

MSComm::MSComm(QObject* parent) : QObject(parent) {
    // Failures noticed by Qt's own notifiers between transactions: close the port from the event
    // loop rather than inside the notifier that reports it.
    connect(&port_, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError error) {
        if (!IsFatal(error))
            return;
        // Only the port session that failed may be closed: by the time the queued call runs the
        // port may have been closed and opened again.
        const int generation = openGeneration_;
        QMetaObject::invokeMethod(
            this,
            [this, generation] {
                if (generation == openGeneration_)
                    CloseAfterFailure();
            },
            Qt::QueuedConnection);
    });
}

MSComm::~MSComm() {
    port_.close();
    claim_.Release();
}

QString MSComm::DevicePath(int portNumber) {
    return PortMap::Port(portNumber).device;
}

bool MSComm::SetHandshaking(int mode) {
    if (mode != comNone) {
        lastError_ = QStringLiteral("unsupported handshaking");
        return false;
    }
    handshaking_ = mode;
    return true;
}

bool MSComm::SetCommPort(int portNumber) {
    // Choosing the port starts an attempt to open it; a refusal of an earlier one is history.
    refusedForPermission_ = false;
    if (Usable()) {
        lastError_ = QStringLiteral("Port already open");
        return false;
    }
    if (portNumber < 1 || portNumber > 255) {
        lastError_ = QStringLiteral("Invalid port number");
        return false;
    }
    portNumber_ = portNumber;
    return true;
}

bool MSComm::SetRTSEnable(bool enable) {
    rtsEnable_ = enable;
    if (Usable() && !port_.setRequestToSend(enable) &&
        port_.error() != QSerialPort::UnsupportedOperationError) {
        lastError_ = port_.errorString();
        return false;
    }
    port_.clearError();
    return true;
}

bool MSComm::SetSettings(const QString& settings) {
    const QStringList parts = settings.split(QLatin1Char(','));
    if (parts.size() != 4) {
        lastError_ = QStringLiteral("Invalid settings");
        return false;
    }
    bool ok = false;
    const qint32 baud = parts[0].trimmed().toInt(&ok);
    if (!ok || baud <= 0) {
        lastError_ = QStringLiteral("Invalid baud rate");
        return false;
    }
    QSerialPort::Parity parity;
    switch (parts[1].trimmed().toUpper().at(0).toLatin1()) {
    case 'N':
        parity = QSerialPort::NoParity;
        break;
    case 'E':
        parity = QSerialPort::EvenParity;
        break;
    case 'O':
        parity = QSerialPort::OddParity;
        break;
    case 'M':
        parity = QSerialPort::MarkParity;
        break;
    case 'S':
        parity = QSerialPort::SpaceParity;
        break;
    default:
        lastError_ = QStringLiteral("Invalid parity");
        return false;
    }
    const int bits = parts[2].trimmed().toInt(&ok);
    if (!ok || bits < 5 || bits > 8) {
        lastError_ = QStringLiteral("Invalid data bits");
        return false;
    }
    const QString stop = parts[3].trimmed();
    QSerialPort::StopBits stopBits;
    if (stop == QLatin1String("1"))
        stopBits = QSerialPort::OneStop;
    else if (stop == QLatin1String("1.5"))
        stopBits = QSerialPort::OneAndHalfStop;
    else if (stop == QLatin1String("2"))
        stopBits = QSerialPort::TwoStop;
    else {
        lastError_ = QStringLiteral("Invalid stop bits");
        return false;
    }
    baud_ = baud;
    parity_ = parity;
    dataBits_ = static_cast<QSerialPort::DataBits>(bits);
    stopBits_ = stopBits;
    if (Usable()) {
        const bool applied = port_.setBaudRate(baud_) && port_.setParity(parity_) &&
                             port_.setDataBits(dataBits_) && port_.setStopBits(stopBits_);
        if (!applied) {
            lastError_ = port_.errorString();
            return false;
        }
    }
    return true;
}

bool MSComm::SetInputLen(int length) {
    if (length < 0) {
        lastError_ = QStringLiteral("Invalid input length");
        return false;
    }
    inputLen_ = length;
    return true;
}

bool MSComm::SetInputMode(int mode) {
    if (mode != comInputModeText && mode != 1) {
        lastError_ = QStringLiteral("Invalid input mode");
        return false;
    }
    inputMode_ = mode;
    return true;
}

void MSComm::HoldClaim(bool hold) {
    holdClaim_ = hold;
    if (!hold && parked_) {
        parked_ = false;
        port_.close();
        port_.clearError();
    }
    if (!hold && !port_.isOpen())
        claim_.Release();
}

bool MSComm::SetPortOpen(bool open) {
    if (!open) {
        if (parked_ && holdClaim_)
            return true;
        if (holdClaim_ && Usable()) {
            parked_ = true;
            port_.clear();
            port_.readAll();
            port_.clearError();
            return true;
        }
        parked_ = false;
        port_.close();
        if (holdClaim_)
            claim_.KeepExclusive();
        else
            claim_.Release();
        port_.clearError();
        return true;
    }
    if (Usable()) {
        lastError_ = QStringLiteral("Port already open");
        return false;
    }
    lastDevice_ = pathOverride_.isEmpty() ? DevicePath(portNumber_) : pathOverride_;
    refusedForPermission_ = false;
    refusedAsHeld_ = false;
    if (lastDevice_.isEmpty()) {
        lastError_ = QStringLiteral("No serial port");
        return false;
    }
    if (parked_ && Unpark())
        return true;
    // The claim comes before Qt's lock file, so that a port held elsewhere is refused as such
    // whatever lock directory each program sees, and without touching the holder's line. A claim
    // held across a close is taken up again as it is: letting go of it for a moment would let
    // another program in.
    if (claim_.Claimed() && claimedDevice_ == lastDevice_) {
        claim_.AllowReopen();
    } else if (claim_.Claim(lastDevice_) == PortClaim::Outcome::HeldElsewhere) {
        lastError_ = claim_.Reason();
        refusedAsHeld_ = true;
        return false;
    }
    claimedDevice_ = lastDevice_;
    port_.setPortName(lastDevice_);
    port_.setBaudRate(baud_);
    port_.setParity(parity_);
    port_.setDataBits(dataBits_);
    port_.setStopBits(stopBits_);
    port_.setFlowControl(QSerialPort::NoFlowControl);
    if (!port_.open(QIODevice::ReadWrite)) {
        lastError_ = port_.errorString();
        // Qt reports a port locked by another program as a PermissionError too; only the
        // system's own refusal (EACCES) is a matter of group membership.
        const bool refusedByLock = port_.error() == QSerialPort::PermissionError;
        refusedForPermission_ = refusedByLock && lastError_ == qt_error_string(EACCES);
        port_.clearError();
        if (!(refusedByLock && claim_.Claimed() && !refusedForPermission_ &&
              OpenPastStaleLockFile())) {
            if (claim_.Claimed() && !refusedForPermission_)
                ExplainLockRefusal();
            claim_.Release();
            return false;
        }
    }
    PortClaim::MakeExclusive(int(port_.handle()));
    // A line the device does not have (a pseudo-terminal has no RTS) is not a failure to open.
    if (!port_.setRequestToSend(rtsEnable_) &&
        port_.error() != QSerialPort::UnsupportedOperationError) {
        lastError_ = port_.errorString();
        port_.close();
        claim_.Release();
        port_.clearError();
        return false;
    }
    port_.clearError();
    ++openGeneration_;
    return true;
}

bool MSComm::PortOpen() const {
    return Usable();
}

bool MSComm::Output(const QByteArray& bytes) {
    if (!Usable())
        return false;
    if (port_.write(bytes) != bytes.size()) {
        CheckForFailure();
        return false;
    }
    port_.flush();
    if (port_.isOpen() && port_.bytesToWrite() > 0)
        port_.waitForBytesWritten(1000);
    CheckForFailure();
    return port_.isOpen();
}

QByteArray MSComm::Input() {
    if (!Usable())
        return {};
    QByteArray bytes = port_.readAll();
    CheckForFailure();
    return bytes;
}

bool MSComm::WaitForInput(int msecs) {
    if (!Usable())
        return false;
    if (port_.bytesAvailable() > 0)
        return true;
    if (QCoreApplication::instance() == nullptr) {
        const bool ready = port_.waitForReadyRead(qMax(0, msecs));
        CheckForFailure();
        return ready && port_.isOpen();
    }
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer);
    connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(&port_, &QSerialPort::readyRead, &loop, &QEventLoop::quit);
    connect(&port_, &QSerialPort::errorOccurred, &loop, [&loop](QSerialPort::SerialPortError e) {
        if (IsFatal(e))
            loop.quit();
    });
    connect(this, &MSComm::PortLost, &loop, &QEventLoop::quit);
    // Closed from inside the wait (the window closing): nothing more can arrive.
    connect(&port_, &QIODevice::aboutToClose, &loop, &QEventLoop::quit);
    deadline.start(qMax(0, msecs));
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    CheckForFailure();
    return port_.isOpen() && port_.bytesAvailable() > 0;
}

void MSComm::CheckForFailure() {
    const QSerialPort::SerialPortError error = port_.error();
    if (IsFatal(error)) {
        CloseAfterFailure();
        return;
    }
    // A wait that timed out leaves TimeoutError behind; it is not a fault of the port.
    if (error == QSerialPort::TimeoutError)
        port_.clearError();
}

void MSComm::CloseAfterFailure() {
    if (!port_.isOpen())
        return;
    if (parked_) {
        // Nobody uses the port meanwhile: the next open finds out what became of the device.
        parked_ = false;
        port_.close();
        claim_.Release();
        port_.clearError();
        return;
    }
    const QString reason = port_.errorString();
    lastError_ = reason;
    port_.close();
    claim_.Release();
    port_.clearError();
    emit PortLost(reason);
}

bool MSComm::Unpark() {
    parked_ = false;
    // The same device, still there (a device that went away and came back is another one) and
    // without a failure: it is opened as it is, in the settings asked for now.
#ifdef Q_OS_WIN
    const bool same = false;
#else
    struct stat asked {};
    struct stat kept {};
    const bool same = lastDevice_ == claimedDevice_ && port_.error() == QSerialPort::NoError &&
                      stat(QFile::encodeName(lastDevice_).constData(), &asked) == 0 &&
                      fstat(int(port_.handle()), &kept) == 0 && asked.st_rdev == kept.st_rdev;
#endif
    if (same && port_.setBaudRate(baud_) && port_.setParity(parity_) &&
        port_.setDataBits(dataBits_) && port_.setStopBits(stopBits_) &&
        (port_.setRequestToSend(rtsEnable_) ||
         port_.error() == QSerialPort::UnsupportedOperationError)) {
        port_.clear();
        port_.readAll();
        port_.clearError();
        return true;
    }
    // Opened afresh under the claim, which is still this program's.
    port_.close();
    port_.clearError();
    return false;
}

bool MSComm::OpenPastStaleLockFile() {
    // Holding the claim, this program knows that no other program of the tool has the port. A
    // lock file left by a program that was killed would still keep it out for good where it
    // cannot be removed: another user's in the sticky /run/lock, or a read-only lock directory.
    // When no process is left that has the port open, the port is opened under another name of
    // the claimed device, whose lock file Qt can make; the kernel's claim keeps it exclusive.
    if (PortClaim::StaleLockFile(lastDevice_).isEmpty() ||
        !PortClaim::Holder(lastDevice_).isEmpty())
        return false;
    const QString alias = claim_.AliasPath();
    if (alias.isEmpty())
        return false;
    port_.setPortName(alias);
    const bool opened = port_.open(QIODevice::ReadWrite);
    port_.clearError();
    return opened;
}

void MSComm::ExplainLockRefusal() {
    // Holding the claim, this program knows that no other program of the tool has the port.
    // Qt's lock file still refused it: either a program that takes no claim has the port open,
    // or the lock file was left by a program that ended and this one may not remove it.
    const QString holder = PortClaim::Holder(lastDevice_);
    if (!holder.isEmpty()) {
        lastError_ = PortClaim::HeldText(lastDevice_);
        refusedAsHeld_ = true;
        return;
    }
    const QString lockFile = PortClaim::ExistingLockFile(lastDevice_);
    if (!lockFile.isEmpty())
        lastError_ = QStringLiteral("%1: the lock file %2 is left by a program that ended, or by "
                                    "one this program cannot see, and cannot be removed here; "
                                    "remove it with: %3")
                         .arg(lastError_, lockFile, PortClaim::RemovalCommand(lockFile));
}
