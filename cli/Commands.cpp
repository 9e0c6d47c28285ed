#include "cli/Commands.h"

#include "cli/Console.h"
#include "cli/DeviceLoop.h"
#include "cli/Interrupts.h"
#include "cli/Session.h"
#include "device/Kdr31Device.h"
#include "device_link/MSComm.h"
#include "device_link/PortList.h"
#include "device_link/PortMap.h"
#include "readings/DeviceSettings.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>
#include <QSerialPortInfo>
#include <algorithm>

namespace {

// The ports the window lists.
constexpr int FirstPort = 1;
constexpr int LastPort = 32;
// How often a followed debug log is read.
constexpr int DebugLogFollowMs = 1000;

#ifdef Q_OS_WIN
bool Present(const QString& device) {
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        if (info.portName().compare(device, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}
#endif

// The device's messages end with what to do ("Please retry"); the result codes of a failed
// exchange do not.
QString WithAdvice(const QString& message) {
    if (message.contains(QLatin1String("retry"), Qt::CaseInsensitive))
        return message;
    return message + QStringLiteral(": check the KDR31 and its cable, then retry");
}

} // namespace

int RunCommand(const CliRequest& request, Interrupts& interrupts) {
    switch (request.command) {
    case CliCommand::Ports:
        return RunPorts();
    case CliCommand::Scan:
        return RunScan();
    case CliCommand::Info:
        return RunInfo(request);
    case CliCommand::Poll:
        return RunPoll(request, interrupts);
    case CliCommand::Set:
        return RunSet(request);
    case CliCommand::DebugLog:
        return RunDebugLog(request, interrupts);
    case CliCommand::Upgrade:
        return RunUpgrade(request, interrupts);
    case CliCommand::Export:
        return RunExport(request);
    case CliCommand::Peak:
        return RunPeak(request);
    }
    return ExitUsage;
}

int RunPorts() {
#ifndef Q_OS_WIN
    // The window's port list, with what is known of each entry's device (its tooltip).
    for (const QString& line : PortMap::ListLines())
        PrintLine(line);
#else
    for (int port = FirstPort; port <= LastPort; ++port) {
        const QString device = MSComm::DevicePath(port);
        PrintLine(QStringLiteral("COM%1").arg(port).leftJustified(6) + device.leftJustified(24) +
                  QLatin1Char(' ') +
                  (Present(device) ? QStringLiteral("present") : QStringLiteral("absent")));
    }
#endif
    return ExitOk;
}

int RunScan() {
    Kdr31Device device;
    PortMap::Refresh();
    QStringList refused;
    const int found = device.Scan(FirstPort, LastPort, {}, [&](int port, ConnectOutcome) {
        if (device.Port().OpenRefusedForPermission())
            refused << RefusedPortName(port, device.Port().LastDevice());
    });
    if (found == 0) {
        PrintError(QStringLiteral("No KDR31 found: check the cable, that you may open the ports "
                                  "(the dialout group), and the port list (kdr31-cli ports)"));
        if (!refused.isEmpty())
            PrintError(RefusedPortsLine(refused));
        return ExitFailure;
    }
    const PortChoice port{found, {}};
    PrintLine(port.Display() + QStringLiteral(": ") + IdentityLine(device.Identity()));
    device.Disconnect();
    return ExitOk;
}

int RunInfo(const CliRequest& request) {
    Kdr31Device device;
    if (!ConnectOrExplain(device, request.port))
        return ExitFailure;
    const DeviceIdentity identity = device.Identity();
    device.Disconnect();
    if (request.json)
        PrintLine(QString::fromUtf8(
            QJsonDocument(IdentityJson(request.port, identity)).toJson(QJsonDocument::Compact)));
    else
        PrintLine(IdentityText(request.port, identity));
    return ExitOk;
}

QString ChangeSettings(Kdr31Device& device, const PortChoice& port,
                       const SettingsRequest& request) {
    QString deviceMessage;
    device.SetMessageSink([&deviceMessage](const QString& text) { deviceMessage = text; });

    // What is not given keeps the value the device reports, brought into the range the device
    // accepts, as the window's spinners do.
    const DeviceIdentity before = device.Identity();
    DeviceSettingValues current;
    current.interval = std::clamp(before.interval, 5, 60);
    current.divider = std::clamp(before.divider, 1, 10);
    current.country = before.Nederland() ? 1 : 2;
    current.protocol = before.ProtocolIndex();
    const DeviceSettingValues wanted = ApplySettingsRequest(current, request);
    device.SendSettings(SettingsPayload(wanted.interval, wanted.country == 1, wanted.protocol == 2,
                                        wanted.protocol == 4, wanted.divider));

    // What the device reports now, by identifying it again.
    device.Disconnect();
    UsePort(device, port);
    const ConnectOutcome outcome = device.Connect(port.number);
    device.SetMessageSink({});
    if (outcome != ConnectOutcome::Connected) {
        const QString portError = device.Port().LastError();
        device.Disconnect();
        return ConnectFailureText(port, outcome, portError);
    }
    const DeviceIdentity after = device.Identity();
    const bool taken = after.interval == wanted.interval && after.divider == wanted.divider &&
                       after.Nederland() == (wanted.country == 1) &&
                       after.ProtocolIndex() == wanted.protocol;
    if (deviceMessage.isEmpty() && taken)
        return {};
    return QStringLiteral("the KDR31 did not take the settings%1: check the cable and retry")
        .arg(deviceMessage.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(deviceMessage));
}

int RunSet(const CliRequest& request) {
    Kdr31Device device;
    if (!ConnectOrExplain(device, request.port))
        return ExitFailure;
    const QString failure = ChangeSettings(device, request.port, request.settings);
    if (device.Connected())
        PrintLine(IdentityText(request.port, device.Identity()));
    device.Disconnect();
    if (!failure.isEmpty()) {
        PrintError(failure);
        return ExitFailure;
    }
    return ExitOk;
}

int RunDebugLog(const CliRequest& request, Interrupts& interrupts) {
    // The log goes to a file beside the output's name, renamed over it at the end: an existing
    // file is kept until there is a log to replace it with.
    QSaveFile file(request.output);
    if (!request.output.isEmpty() && !file.open(QIODevice::WriteOnly)) {
        PrintError(QStringLiteral("cannot write %1 (%2): choose another file")
                       .arg(request.output, file.errorString()));
        return ExitFailure;
    }
    bool writeFailed = false;
    // The log's bytes exactly as the device sent them, nothing added.
    const auto write = [&](const QByteArray& bytes) {
        if (!file.isOpen())
            return WriteOut(bytes);
        writeFailed = writeFailed || file.write(bytes) != bytes.size();
        return !writeFailed;
    };
    const auto commit = [&] {
        if (!file.isOpen() || file.commit())
            return true;
        PrintError(QStringLiteral("cannot write %1 (%2): check the disk")
                       .arg(request.output, file.errorString()));
        return false;
    };

    Kdr31Device device;
    if (!ConnectOrExplain(device, request.port))
        return ExitFailure;

    if (!request.follow) {
        const DebugLogReadOutcome outcome = device.ReadDebugLog();
        device.Disconnect();
        if (!write(outcome.text)) {
            PrintError(QStringLiteral("cannot write the log: check the disk or the output"));
            return ExitFailure;
        }
        if (!outcome.message.isEmpty()) {
            PrintError(WithAdvice(outcome.message));
            return ExitFailure;
        }
        return commit() ? ExitOk : ExitFailure;
    }

    DeviceLoop loop(device, request.port, interrupts);
    const int exitCode = loop.Run([] { return DebugLogFollowMs; },
                                  [&]() {
                                      const DebugLogReadOutcome outcome = device.ReadDebugLog();
                                      if (!device.Port().PortOpen())
                                          return DeviceLoop::Step::PortLost;
                                      if (!write(outcome.text)) {
                                          PrintError(QStringLiteral("cannot write the log: check "
                                                                    "the disk or the output"));
                                          return DeviceLoop::Step::Failed;
                                      }
                                      // A status or a failed read does not end the following.
                                      if (!outcome.message.isEmpty())
                                          PrintError(outcome.message);
                                      return DeviceLoop::Step::Continue;
                                  });
    device.Disconnect();
    // Followed until Ctrl-C or the end of the device: what was read is kept, unless it could
    // not all be written.
    if (writeFailed)
        return exitCode;
    return commit() ? exitCode : ExitFailure;
}
