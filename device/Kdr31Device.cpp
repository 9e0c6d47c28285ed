#include "device/Kdr31Device.h"

#include "app/ModMain.h"
#include "device_link/CommandTransaction.h"
#include "device_link/MSComm.h"
#include "device_link/ReplyParser.h"
#include "readings/ReadingsDecode.h"

#include <QDateTime>

namespace {

// The identify data: firmware version (4 bytes), refresh interval, country, protocol, divider,
// then the serial number (8 characters).
constexpr int IdentifySettingsBytes = 8;

int ResultByte(const QByteArray& result, int position1) {
    return static_cast<std::uint8_t>(result.at(position1 - 1));
}

} // namespace

std::optional<DeviceIdentity> ParseIdentity(const QByteArray& result) {
    // The result is 0, the data and the end marker; the settings need all eight data bytes
    // before the serial number, so a shorter reply is no identification either.
    const int dataBytes = result.size() - 2;
    if (result.isEmpty() || result.at(0) != char(ReplyOk) || dataBytes < IdentifySettingsBytes)
        return std::nullopt;
    DeviceIdentity identity;
    for (int i = 0; i < 4; ++i)
        identity.version[static_cast<size_t>(i)] =
            static_cast<std::uint8_t>(ResultByte(result, i + 2));
    identity.interval = ResultByte(result, 6);
    identity.country = ResultByte(result, 7);
    identity.protocol = ResultByte(result, 8);
    identity.divider = ResultByte(result, 9);
    identity.serialNumber = result.size() >= 13 ? QString::fromLatin1(result.mid(9, 8)) : QString();
    return identity;
}

Kdr31Device::Kdr31Device(QObject* parent) : QObject(parent), port_(new MSComm(this)) {
    port_->setObjectName(QStringLiteral("MSComm1"));
}

Kdr31Device::~Kdr31Device() = default;

bool Kdr31Device::Connected() const {
    return PortState != PortStateClosed && PortState != PortStateNoDevice;
}

bool Kdr31Device::Busy() const {
    return port_->InTransaction();
}

void Kdr31Device::SetDevicePathOverride(const QString& path) {
    port_->SetDevicePathOverride(path);
}

std::uint8_t Kdr31Device::OpenCom(std::uint8_t portNumber) {
    // Any property the port refuses ends the attempt with 99; nothing set before is undone and
    // a port that is open stays open.
    const bool opened = port_->SetHandshaking(MSComm::comNone) && port_->SetCommPort(portNumber) &&
                        port_->SetRTSEnable(true) &&
                        port_->SetSettings(QStringLiteral("115200,N,8,1")) &&
                        port_->SetInputLen(0) && port_->SetInputMode(MSComm::comInputModeText) &&
                        port_->SetPortOpen(true);
    return opened ? portNumber : std::uint8_t{PortStateNoDevice};
}

void Kdr31Device::ClosePort() {
    port_->SetPortOpen(false);
}

QByteArray Kdr31Device::SendCommand(std::uint8_t command, const QByteArray& payload) {
    const TransactionHooks hooks{
        nullptr,
        [this](const QString& text) {
            if (messages_)
                messages_(text);
        },
    };
    const QByteArray result =
        RunTransaction(*port_, command, payload, ModMain::RxBuffer, RxDeadline, hooks);
    emit TransactionEnded();
    return result;
}

ConnectOutcome Kdr31Device::Connect(int portNumber) {
    PortState = OpenCom(static_cast<std::uint8_t>(portNumber));
    if (PortState != portNumber)
        return ConnectOutcome::PortNotOpened;
    const std::optional<DeviceIdentity> identity =
        ParseIdentity(SendCommand(Command::Identify, {}));
    if (!identity) {
        PortState = PortStateNoDevice;
        return ConnectOutcome::NotIdentified;
    }
    identity_ = *identity;
    ModMain::DeviceFwVersion = identity_.version;
    return ConnectOutcome::Connected;
}

void Kdr31Device::Disconnect() {
    PortState = PortStateClosed;
    ClosePort();
}

int Kdr31Device::Scan(int first, int last, const std::function<void(int)>& before,
                      const std::function<void(int, ConnectOutcome)>& after) {
    for (int port = first; port <= last; ++port) {
        if (before)
            before(port);
        Disconnect();
        const ConnectOutcome outcome = Connect(port);
        if (after)
            after(port, outcome);
        if (Connected())
            return port;
    }
    return 0;
}

ReadingsRow Kdr31Device::ReadReadings(bool nederland, bool belgie) {
    const QByteArray result = SendCommand(Command::Readings, {});
    ReadingsRow row;
    row.time = QDateTime::currentMSecsSinceEpoch();
    if (result.at(0) != char(ReplyOk)) {
        row.state = ReadingsRow::Failed;
        return row;
    }
    row.state = ReadingsRow::Received;
    // A reply shorter than 13 fields fills only the fields it covers completely.
    const int covered = FieldsCovered(result.size());
    for (int i = 0; i < covered; ++i) {
        const ReadingsField& field = ReadingsFields[static_cast<size_t>(i)];
        row.fields[static_cast<size_t>(i)] = FieldValue(result, field.offset + 2);
        row.present |= static_cast<std::uint16_t>(1u << i);
    }
    if (covered > TariffField)
        row.tariffLow =
            TariffText(row.fields[TariffField], nederland, belgie) == QLatin1String("Low");
    return row;
}

void Kdr31Device::SendSettings(const QByteArray& payload) {
    // An answer other than the acknowledgement is reported inside the transaction.
    SendCommand(Command::Settings, payload);
}

DebugLogReadOutcome Kdr31Device::ReadDebugLog() {
    return InterpretDebugLogResult(SendCommand(Command::DebugLog, {}));
}
