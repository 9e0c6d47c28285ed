// "Upgrade": the online version check, the download of the HEX image, and its upload to the
// device's boot loader, followed by the reboot and the reconnection.
//
// The whole upgrade runs inside the click handler on the window thread. Every wait runs the event
// loop (UpgradeWait), so the progress window's Cancel is heard and the windows stay responsive,
// while the controls that would disturb the upgrade are disabled. Nothing goes to the device
// unless the image arrived complete, converted without a fault and fits the boot loader.

#include "app/ModMain.h"
#include "device_link/Clock.h"
#include "device_link/MSComm.h"
#include "device_link/ReplyParser.h"
#include "firmware/HexImage.h"
#include "firmware/Inet.h"
#include "firmware/UpgradeWait.h"
#include "firmware/frmProgress.h"
#include "main_window/frmKDR31.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QTimer>
#include <algorithm>

namespace {

// How often the bar moves during the download and the reboot wait.
constexpr double DownloadTickSeconds = 0.2;
constexpr double RebootTickSeconds = 0.1;

QString GetOperation(const char* remotePath, const QString& localPath) {
    return QStringLiteral("GET \"") + QLatin1String(remotePath) + QStringLiteral("\" \"") +
           localPath + QLatin1Char('"');
}

} // namespace

frmProgress* frmKDR31::Progress() const {
    return progress_;
}

QList<QWidget*> frmKDR31::ControlsLockedDuringUpgrade() const {
    // Everything that would close or reopen the port, start a transaction of its own or start a
    // second upgrade.
    return {cmdCloseCom, cmdOpenCom, cmdScanCom, cmbComPort,
            cmdUpgrade,  cmdDebug,   fraDebug,   fraSettings};
}

void frmKDR31::cmdUpgrade_Click() {
    if (upgradePhase_ != UpgradePhase::Idle)
        return;
    // Only a device that identified itself on the open port can take an upgrade.
    if (!ConnectedToDevice() || !MSComm1->PortOpen()) {
        dialogs_->MsgBox(UpgradeText::NoDevice);
        return;
    }
    if (upgradeWait_ == nullptr)
        upgradeWait_ = new UpgradeWait(this);
    upgradeWait_->Reset();
    // Cancel ends the transfers of this upgrade; one pressed after an earlier upgrade does not.
    ModMain::CancelRequested = 0;

    QList<QPair<QWidget*, bool>> locked;
    for (QWidget* control : ControlsLockedDuringUpgrade()) {
        locked.append({control, control->isEnabled()});
        control->setEnabled(false);
    }
    const auto unlock = qScopeGuard([this, locked] {
        for (const auto& [control, enabled] : locked)
            control->setEnabled(enabled);
        upgradePhase_ = UpgradePhase::Idle;
    });

    // A settings change still waiting for its second goes out now: its timer would otherwise
    // send it in the middle of the upgrade and restart the poll.
    if (timTXSettings->isActive())
        timTXSettings_Timer();
    timScan->stop();

    // Each step ends the upgrade itself, with its message, when it fails.
    const std::optional<FirmwareVersion> latest = CheckOnlineVersion();
    if (!latest)
        return;
    const std::optional<QString> hexFile = DownloadImage();
    if (!hexFile)
        return;
    const std::optional<QByteArray> image = ConvertImage(*hexFile);
    if (!image)
        return;
    UploadImage(*image, *latest);
}

std::optional<FirmwareVersion> frmKDR31::CheckOnlineVersion() {
    upgradePhase_ = UpgradePhase::Checking;
    ProgressWindow().setWindowTitle(UpgradeText::Caption);
    progress_->lblprogress->setText(UpgradeText::Checking);
    progress_->SetBar(0);
    progress_->ShowModeless();

    QString localPath;
    Inet1->SetMaxBytes(UpgradeListMaxBytes);
    const FetchResult fetched = FetchFile(kUpgradeListRemotePath, localPath, {});
    if (ModMain::CancelRequested != 0)
        return EndUpgrade({}, true);
    if (fetched == FetchResult::NoFolder)
        return EndUpgrade(UpgradeText::NoDownloadFolder, true);
    const std::optional<FirmwareVersion> latest =
        fetched == FetchResult::Done ? ReadListedVersion(localPath) : std::nullopt;
    if (!latest)
        return EndUpgrade(UpgradeText::NotDownloaded, true);
    progress_->SetBar(10);
    // Any other version is offered, also an older one.
    if (*latest == ModMain::DeviceFwVersion)
        return EndUpgrade(UpgradeText::AlreadyLatest, true);

    upgradePhase_ = UpgradePhase::Confirming;
    if (!dialogs_->AskYesNo(ConfirmUpgradeText(*latest)))
        return EndUpgrade({}, true);
    return latest;
}

std::optional<QString> frmKDR31::DownloadImage() {
    // Judged by the completed transfer, however long it takes within the limit; the bar moves
    // meanwhile.
    upgradePhase_ = UpgradePhase::Downloading;
    progress_->lblprogress->setText(UpgradeText::Downloading);
    QString localPath;
    Inet1->SetMaxBytes(HexFileMaxBytes);
    const FetchResult fetched =
        FetchFile(kFirmwareImageRemotePath, localPath,
                  [this](double elapsed) { progress_->SetBar(DownloadBar(elapsed)); });
    if (ModMain::CancelRequested != 0)
        return EndUpgrade({}, true);
    if (fetched == FetchResult::NoFolder)
        return EndUpgrade(UpgradeText::NoDownloadFolder, true);
    if (fetched != FetchResult::Done)
        return EndUpgrade(UpgradeText::NotDownloaded, true);
    // A slow download has crept past 90 by now: the bar does not step back.
    progress_->SetBar(std::max(90, progress_->pgb1->value()));
    return localPath;
}

std::optional<QByteArray> frmKDR31::ConvertImage(const QString& hexFile) {
    // A file the loader could not read or found damaged is not flashed, and an image the boot
    // loader cannot take is refused before its first block.
    upgradePhase_ = UpgradePhase::Converting;
    const HexImage hex =
        Hex2BinString(hexFile, true, [this](const QString& text) { dialogs_->MsgBox(text); });
    if (!hex.ok)
        return EndUpgrade(UnreadableImageText(hex.error), true);
    if (hex.checksumErrors)
        return EndUpgrade(UpgradeText::ChecksumErrors, true);
    const QString incomplete = IncompleteImageRefusal(hex);
    if (!incomplete.isEmpty())
        return EndUpgrade(incomplete, true);
    const QString refusal = ImageRefusal(hex.image);
    if (!refusal.isEmpty())
        return EndUpgrade(refusal, true);
    return PadImage(hex.image);
}

void frmKDR31::UploadImage(const QByteArray& image, const FirmwareVersion& version) {
    const int blockCount = int(image.size() / UploadBlockBytes);
    int k = 0;
    ModMain::CancelRequested = 0;
    ProgressWindow().ShowModeless();

    upgradePhase_ = UpgradePhase::SendingBlocks;
    while (k < blockCount && ModMain::CancelRequested == 0) {
        progress_->lblprogress->setText(SendingBlockText(k, blockCount));
        progress_->SetBar(BlockBar(k, blockCount));
        if (!SendUploadCommand(Command::UploadBlock, BlockPayload(image, k))) {
            FailUpload(UpgradeText::UploadFailed);
            return;
        }
        ++k;
    }

    // Also after a Cancel: the device learns that the upload has ended. The full count and the
    // CRC of the whole image let it see that blocks are missing.
    upgradePhase_ = UpgradePhase::Finishing;
    if (!SendUploadCommand(Command::UploadFinish, FinishPayload(image, version))) {
        FailUpload(UpgradeText::UpgradingFailed);
        return;
    }
    ++k;

    upgradePhase_ = UpgradePhase::Rebooting;
    progress_->lblprogress->setText(UpgradeText::Rebooting);
    const double rebootEnd = Timer() + RebootSeconds;
    const auto showReboot = [this, rebootEnd] {
        progress_->SetBar(RebootBar(rebootEnd - Timer()));
    };
    if (upgradeWait_->Until(rebootEnd, {}, showReboot, RebootTickSeconds) ==
        UpgradeWait::End::Aborted) {
        EndUpgrade({}, false);
        return;
    }
    progress_->SetBar(BlockBar(k, blockCount));
    CloseProgress();

    upgradePhase_ = UpgradePhase::Reconnecting;
    ClosePort();
    if (upgradeWait_->Until(Timer() + ReopenPauseSeconds) == UpgradeWait::End::Aborted)
        return;
    cmdOpenCom_Click();
    timScan->start();
}

bool frmKDR31::SendUploadCommand(std::uint8_t command, const QByteArray& payload) {
    for (int attempt = 0; attempt < UploadAttempts; ++attempt) {
        if (upgradeWait_->Aborted())
            return false;
        // Only the acknowledgement itself counts: a reply or a result code is a failed attempt.
        if (SendCommand(command, payload) == SingleByte(ReplyOk))
            return true;
    }
    return false;
}

void frmKDR31::ConfigureInet() {
    Inet1->SetAccessType(Inet::icDirect);
    Inet1->SetProtocol(Inet::icFTP);
    Inet1->SetUserName(QString::fromLatin1(kFirmwareAccount));
    Inet1->SetPassword(QString::fromLatin1(kFirmwarePassword));
    // A malformed test-server override leaves no host, and the transfer then fails.
    Inet1->SetRemoteHost(QString::fromLatin1(kFirmwareServerHost));
}

frmKDR31::FetchResult frmKDR31::FetchFile(const char* remotePath, QString& localPath,
                                          const std::function<void(double)>& tick) {
    ConfigureInet();
    const std::optional<QString> path = TempDownloadPath();
    if (!path)
        return FetchResult::NoFolder;
    localPath = *path;
    // What an earlier download left must never pass for this one.
    QFile::remove(localPath);
    QCoreApplication::processEvents();

    bool finished = false;
    bool transferOk = false;
    const QMetaObject::Connection done =
        connect(Inet1, &Inet::TransferDone, this, [this, &finished, &transferOk](bool ok) {
            finished = true;
            transferOk = ok;
            upgradeWait_->Wake();
        });
    const auto disconnectDone = qScopeGuard([done] { QObject::disconnect(done); });
    if (!Inet1->Execute(Inet1->URL(), GetOperation(remotePath, localPath)))
        return FetchResult::Failed;

    // Ticks also when there is no bar to move, so that a Cancel is seen within one tick.
    const double start = Timer();
    const auto onTick = [&tick, start] {
        if (tick)
            tick(Timer() - start);
    };
    upgradeWait_->Until(
        start + TransferLimitSeconds,
        [&finished] { return finished || ModMain::CancelRequested != 0; }, onTick,
        DownloadTickSeconds);
    if (!finished)
        Inet1->Cancel(); // too slow, Cancel, or the window is closing: the transfer is abandoned
    return finished && transferOk ? FetchResult::Done : FetchResult::Failed;
}

frmProgress& frmKDR31::ProgressWindow() {
    // Created on first use, and anew after it was closed.
    if (progress_ == nullptr)
        progress_ = new frmProgress(this);
    return *progress_;
}

void frmKDR31::CloseProgress() {
    if (progress_ == nullptr)
        return;
    progress_->Unload();
    delete progress_;
    progress_ = nullptr;
}

std::nullopt_t frmKDR31::EndUpgrade(const QString& message, bool resumePoll) {
    CloseProgress();
    // A window that is closing shows nothing more and polls no more.
    if (upgradeWait_->Aborted())
        return std::nullopt;
    if (!message.isEmpty())
        dialogs_->MsgBox(message);
    if (resumePoll)
        timScan->start();
    return std::nullopt;
}

void frmKDR31::FailUpload(const QString& message) {
    // The message comes over the progress window, which closes after it. The port stays open and
    // the poll stays off until the next connect: the device may be waiting in its boot loader.
    if (!upgradeWait_->Aborted())
        dialogs_->MsgBox(message);
    EndUpgrade({}, false);
}

void frmKDR31::AbortUpgrade() {
    // The window is closing: the upgrade ends where it is, without further messages; the device
    // gets no further command and no finishing command. The handler closes the progress window
    // as soon as its current step returns.
    if (upgradePhase_ == UpgradePhase::Idle || upgradeWait_ == nullptr)
        return;
    upgradeWait_->Abort();
    Inet1->Cancel();
}
