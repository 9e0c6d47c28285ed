#include "app/ModMain.h"
#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/Interrupts.h"
#include "cli/Session.h"
#include "cli/TerminalUpgrade.h"
#include "device/FirmwareUpgrade.h"
#include "device/Kdr31Device.h"
#include "device_link/MSComm.h"
#include "device_link/PortClaim.h"
#include "device_link/ServiceUnit.h"

#include <QFile>
#include <QFileInfo>
#include <unistd.h>

namespace {

int ExitCodeOf(UpgradeOutcome outcome) {
    switch (outcome) {
    case UpgradeOutcome::Done:
    case UpgradeOutcome::AlreadyLatest:
        return ExitOk;
    case UpgradeOutcome::ImageRefused:
        return ExitImageRefused;
    case UpgradeOutcome::Declined:
    case UpgradeOutcome::Cancelled:
    case UpgradeOutcome::Aborted:
        return ExitCancelled;
    case UpgradeOutcome::NoDevice:
    case UpgradeOutcome::DownloadFailed:
    case UpgradeOutcome::UploadFailed:
        return ExitFailure;
    }
    return ExitFailure;
}

// Opens the port and identifies the KDR31, or says why not. A port the readings service holds is
// not a dead end: the service upgrades the KDR31 itself when asked.
bool ConnectForUpgrade(Kdr31Device& device, const PortChoice& port) {
    UsePort(device, port);
    const ConnectOutcome outcome = device.Connect(port.number);
    if (outcome == ConnectOutcome::Connected)
        return true;
    const QString portError = device.Port().LastError();
    const QString holder = device.Port().OpenRefusedAsHeld()
                               ? PortClaim::Holder(device.Port().LastDevice())
                               : QString();
    device.Disconnect();
    const QString unit = ServiceUnitOfProcess(HolderPid(holder));
    if (unit.isEmpty()) {
        PrintError(ConnectFailureText(port, outcome, portError));
        return false;
    }
    QFile config(ServiceConfigPath(unit));
    const QByteArray text =
        config.open(QIODevice::ReadOnly) ? config.read(64 * 1024) : QByteArray();
    PrintError(HeldByServiceText(unit, holder, text, geteuid() == 0));
    return false;
}

} // namespace

int RunUpgrade(const CliRequest& request, Interrupts& interrupts) {
    // Everything that can be refused before the port is opened.
    if (!request.yes && !StdinIsTerminal()) {
        PrintError(QStringLiteral("upgrade asks before it uploads, and standard input is not a "
                                  "terminal: give --yes to upgrade without the question"));
        return ExitUsage;
    }
    if (!request.online) {
        const QFileInfo hex(request.hexFile);
        if (!hex.isFile() || !hex.isReadable()) {
            PrintError(
                QStringLiteral("cannot read the HEX file %1: check its name").arg(request.hexFile));
            return ExitUsage;
        }
    }

    Kdr31Device device;
    if (!ConnectForUpgrade(device, request.port))
        return ExitFailure;

    FirmwareUpgrade upgrade(device);
    if (!request.online)
        upgrade.SetLocalImage(request.hexFile, *request.imageVersion);
    TerminalUpgrade frontEnd(device, request.port, upgrade, interrupts, request.yes,
                             StderrIsTerminal());

    // Ctrl-C is the Cancel button: during the upload it stops the upload after the block being
    // sent, and the finishing command still goes out. Before the upload it ends the upgrade at
    // once, also in the middle of a transfer or a name lookup; nothing has been sent then. After
    // the upload the device is rebooting, and only a second Ctrl-C stops waiting for it.
    bool cancelled = false;
    const QMetaObject::Connection onInterrupt =
        QObject::connect(&interrupts, &Interrupts::Interrupted, &upgrade, [&] {
            cancelled = true;
            ModMain::CancelRequested = -1;
            switch (upgrade.Phase()) {
            case UpgradePhase::SendingBlocks:
                frontEnd.Message(QStringLiteral("cancelling after this block"));
                break;
            case UpgradePhase::Finishing:
            case UpgradePhase::Rebooting:
            case UpgradePhase::Reconnecting:
                if (interrupts.Count() > 1)
                    upgrade.Abort();
                else
                    frontEnd.Message(QStringLiteral("the KDR31 is finishing the upgrade; Ctrl-C "
                                                    "again stops waiting for it"));
                break;
            default:
                upgrade.Abort();
                break;
            }
        });
    const UpgradeOutcome outcome = upgrade.Run(frontEnd);
    QObject::disconnect(onInterrupt);
    frontEnd.CloseProgress();

    if (outcome == UpgradeOutcome::Done) {
        if (!device.Connected()) {
            PrintError(QStringLiteral("the firmware was sent, but the KDR31 did not answer "
                                      "afterwards: check it with kdr31-cli info --port %1")
                           .arg(request.port.IsPath() ? request.port.path
                                                      : QString::number(request.port.number)));
            return ExitFailure;
        }
        PrintLine(IdentityLine(device.Identity()));
        device.Disconnect();
        return ExitOk;
    }
    device.Disconnect();
    if (cancelled || outcome == UpgradeOutcome::Cancelled || outcome == UpgradeOutcome::Aborted) {
        PrintError(QStringLiteral("upgrade cancelled: run it again to install the firmware"));
        return ExitCancelled;
    }
    if (outcome == UpgradeOutcome::Declined)
        PrintError(QStringLiteral("upgrade declined: nothing was sent"));
    return ExitCodeOf(outcome);
}
