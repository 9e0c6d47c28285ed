#include "cli/Commands.h"

#include "cli/Console.h"
#include "cli/Interrupts.h"
#include "cli/Session.h"
#include "device/Kdr31Device.h"
#include "device_link/MSComm.h"
#include "device_link/PortList.h"
#include "device_link/PortMap.h"
#include "poller/DeviceLoop.h"
#include "poller/SettingsChange.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>
#include <QSerialPortInfo>
#include <algorithm>
#include <optional>

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

// Ctrl-C during a command that talks to the KDR31 only briefly: the exchange in progress is cut
// off by closing the port (its wait ends at once), and the command ends with ExitCancelled.
// While held, the cut waits: a settings command is not broken off half way.
class CancelOnInterrupt {
public:
    CancelOnInterrupt(Kdr31Device& device, Interrupts& interrupts) : device_(device) {
        connection_ = QObject::connect(&interrupts, &Interrupts::Interrupted, [this] {
            cancelled_ = true;
            if (!held_)
                device_.Disconnect();
        });
    }
    ~CancelOnInterrupt() { QObject::disconnect(connection_); }
    bool Cancelled() const { return cancelled_; }
    void Hold(bool held) { held_ = held; }
    int Report() const {
        PrintError(QStringLiteral("cancelled"));
        return ExitCancelled;
    }
    // Connects and identifies the device; the exit code when the command ends here (no KDR31,
    // or Ctrl-C meanwhile).
    std::optional<int> Connect(const PortChoice& port) {
        const bool connected = ConnectOrExplain(device_, port, [this] { return cancelled_; });
        if (cancelled_)
            return Report();
        if (!connected)
            return ExitFailure;
        return std::nullopt;
    }

private:
    Kdr31Device& device_;
    QMetaObject::Connection connection_;
    bool cancelled_ = false;
    bool held_ = false;
};

} // namespace

int RunCommand(const CliRequest& request, Interrupts& interrupts) {
    switch (request.command) {
    case CliCommand::Ports:
        return RunPorts();
    case CliCommand::Scan:
        return RunScan(interrupts);
    case CliCommand::Info:
        return RunInfo(request, interrupts);
    case CliCommand::Poll:
        return RunPoll(request, interrupts);
    case CliCommand::Set:
        return RunSet(request, interrupts);
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

int RunScan(Interrupts& interrupts) {
    Kdr31Device device;
    CancelOnInterrupt cancel(device, interrupts);
    PortMap::Refresh();
    QStringList refused;
    int found = 0;
    for (int port = FirstPort; port <= LastPort && found == 0 && !cancel.Cancelled(); ++port)
        found = device.Scan(port, port, {}, [&](int tried, ConnectOutcome) {
            if (device.Port().OpenRefusedForPermission())
                refused << RefusedPortName(tried, device.Port().LastDevice());
        });
    if (cancel.Cancelled()) {
        device.Disconnect();
        return cancel.Report();
    }
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

int RunInfo(const CliRequest& request, Interrupts& interrupts) {
    Kdr31Device device;
    CancelOnInterrupt cancel(device, interrupts);
    if (const std::optional<int> ended = cancel.Connect(request.port))
        return *ended;
    const DeviceIdentity identity = device.Identity();
    device.Disconnect();
    if (request.json)
        PrintLine(QString::fromUtf8(
            QJsonDocument(IdentityJson(request.port, identity)).toJson(QJsonDocument::Compact)));
    else
        PrintLine(IdentityText(request.port, identity));
    return ExitOk;
}

int RunSet(const CliRequest& request, Interrupts& interrupts) {
    Kdr31Device device;
    CancelOnInterrupt cancel(device, interrupts);
    if (const std::optional<int> ended = cancel.Connect(request.port))
        return *ended;
    // Once the settings command is on its way, it is finished and read back before Ctrl-C counts.
    cancel.Hold(true);
    const SettingsOutcome outcome = ChangeSettings(device, request.port.number, request.settings);
    const QString failure =
        outcome.kind == SettingsOutcome::Lost
            ? ConnectFailureText(request.port, outcome.reconnect, outcome.portError)
            : SettingsOutcomeText(outcome);
    if (cancel.Cancelled()) {
        device.Disconnect();
        if (!failure.isEmpty())
            PrintError(failure);
        return cancel.Report();
    }
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

    DeviceLoop loop(device, request.port.number);
    QObject::connect(&interrupts, &Interrupts::Interrupted, &loop, [&loop] { loop.Stop(ExitOk); });
    ReportLostAndBack(loop, request.port);
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
