#include "device_link/MSComm.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QStringList>
#include <QTimer>
#include <QtGlobal>

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
}

QString MSComm::DevicePath(int portNumber) {
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(portNumber);
#else
    const QByteArray mapped = qgetenv(QStringLiteral("KDR31_COM%1").arg(portNumber).toLatin1());
    if (!mapped.isEmpty())
        return QString::fromLocal8Bit(mapped);
    return QStringLiteral("/dev/ttyS%1").arg(portNumber - 1);
#endif
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
    if (port_.isOpen()) {
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
    if (port_.isOpen() && !port_.setRequestToSend(enable) &&
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
    if (port_.isOpen()) {
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

bool MSComm::SetPortOpen(bool open) {
    if (!open) {
        port_.close();
        port_.clearError();
        return true;
    }
    if (port_.isOpen()) {
        lastError_ = QStringLiteral("Port already open");
        return false;
    }
    port_.setPortName(pathOverride_.isEmpty() ? DevicePath(portNumber_) : pathOverride_);
    port_.setBaudRate(baud_);
    port_.setParity(parity_);
    port_.setDataBits(dataBits_);
    port_.setStopBits(stopBits_);
    port_.setFlowControl(QSerialPort::NoFlowControl);
    if (!port_.open(QIODevice::ReadWrite)) {
        lastError_ = port_.errorString();
        port_.clearError();
        return false;
    }
    // A line the device does not have (a pseudo-terminal has no RTS) is not a failure to open.
    if (!port_.setRequestToSend(rtsEnable_) &&
        port_.error() != QSerialPort::UnsupportedOperationError) {
        lastError_ = port_.errorString();
        port_.close();
        port_.clearError();
        return false;
    }
    port_.clearError();
    ++openGeneration_;
    return true;
}

bool MSComm::PortOpen() const {
    return port_.isOpen();
}

bool MSComm::Output(const QByteArray& bytes) {
    if (!port_.isOpen())
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
    if (!port_.isOpen())
        return {};
    QByteArray bytes = port_.readAll();
    CheckForFailure();
    return bytes;
}

bool MSComm::WaitForInput(int msecs) {
    if (!port_.isOpen())
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
    const QString reason = port_.errorString();
    lastError_ = reason;
    port_.close();
    port_.clearError();
    emit PortLost(reason);
}
