#include "device/FirmwareUpgrade.h"

#include "app/ModMain.h"
#include "device/Kdr31Device.h"
#include "device_link/Clock.h"
#include "device_link/MSComm.h"
#include "device_link/ReplyParser.h"
#include "firmware/HexImage.h"
#include "firmware/Inet.h"
#include "firmware/UpgradeWait.h"

#include <QFile>
#include <QScopeGuard>
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

FirmwareUpgrade::FirmwareUpgrade(Kdr31Device& device, QObject* parent)
    : QObject(parent), device_(device), inet_(new Inet(this)), wait_(new UpgradeWait(this)) {
    inet_->setObjectName(QStringLiteral("Inet1"));
}

FirmwareUpgrade::~FirmwareUpgrade() = default;

UpgradeOutcome FirmwareUpgrade::Run(UpgradeFrontEnd& frontEnd) {
    if (phase_ != UpgradePhase::Idle)
        return UpgradeOutcome::Aborted;
    ui_ = &frontEnd;
    // Only a device that identified itself on the open port can take an upgrade.
    if (!device_.Connected() || !device_.Port().PortOpen()) {
        ui_->Message(UpgradeText::NoDevice);
        return UpgradeOutcome::NoDevice;
    }
    wait_->Reset();
    // Cancel ends the transfers of this upgrade; one pressed after an earlier upgrade does not.
    ModMain::CancelRequested = 0;
    blockCount_ = 0;
    nextBlock_ = 0;
    listed_.reset();
    const auto idle = qScopeGuard([this] { SetPhase(UpgradePhase::Idle); });

    ui_->StopPoll();
    // Each step ends the upgrade itself, with its message, when it fails.
    const bool local = !localHexFile_.isEmpty();
    const std::optional<FirmwareVersion> latest =
        local ? ConfirmLocalImage() : CheckOnlineVersion();
    if (!latest)
        return failure_;
    const std::optional<QString> hexFile = local ? localHexFile_ : DownloadImage();
    if (!hexFile)
        return failure_;
    const std::optional<QByteArray> image = ConvertImage(*hexFile);
    if (!image)
        return failure_;
    return UploadImage(*image, *latest);
}

std::optional<FirmwareVersion> FirmwareUpgrade::CheckOnlineVersion() {
    SetPhase(UpgradePhase::Checking);
    ui_->ShowProgress(UpgradeText::Caption);
    ui_->SetProgressText(UpgradeText::Checking);
    ui_->SetProgressBar(0);

    failure_ = UpgradeOutcome::DownloadFailed;
    QString localPath;
    inet_->SetMaxBytes(UpgradeListMaxBytes);
    const FetchResult fetched = FetchFile(kUpgradeListRemotePath, localPath, {});
    if (EndedByTransfer(fetched))
        return std::nullopt;
    const std::optional<FirmwareVersion> latest =
        fetched == FetchResult::Done ? ReadListedVersion(localPath) : std::nullopt;
    if (!latest) {
        End(UpgradeText::NotDownloaded, true);
        return std::nullopt;
    }
    listed_ = latest;
    ui_->SetProgressBar(10);
    // Any other version is offered, also an older one.
    if (*latest == ModMain::DeviceFwVersion) {
        failure_ = UpgradeOutcome::AlreadyLatest;
        End(UpgradeText::AlreadyLatest, true);
        return std::nullopt;
    }

    SetPhase(UpgradePhase::Confirming);
    if (!ui_->AskYesNo(ConfirmUpgradeText(*latest))) {
        failure_ = UpgradeOutcome::Declined;
        End({}, true);
        return std::nullopt;
    }
    return latest;
}

void FirmwareUpgrade::SetLocalImage(const QString& hexFile, const FirmwareVersion& version) {
    localHexFile_ = hexFile;
    localVersion_ = version;
}

std::optional<FirmwareVersion> FirmwareUpgrade::ConfirmLocalImage() {
    SetPhase(UpgradePhase::Confirming);
    listed_ = localVersion_;
    ui_->ShowProgress(UpgradeText::Caption);
    const QString question = QStringLiteral("Are you sure to upload firmware V%1 from %2 to KDR31")
                                 .arg(VersionText(localVersion_), localHexFile_);
    if (!ui_->AskYesNo(question)) {
        failure_ = UpgradeOutcome::Declined;
        End({}, true);
        return std::nullopt;
    }
    return localVersion_;
}

std::optional<QString> FirmwareUpgrade::DownloadImage() {
    // Judged by the completed transfer, however long it takes within the limit; the bar moves
    // meanwhile.
    SetPhase(UpgradePhase::Downloading);
    failure_ = UpgradeOutcome::DownloadFailed;
    ui_->SetProgressText(UpgradeText::Downloading);
    QString localPath;
    double bar = 10;
    inet_->SetMaxBytes(HexFileMaxBytes);
    const FetchResult fetched =
        FetchFile(kFirmwareImageRemotePath, localPath, [this, &bar](double elapsed) {
            bar = DownloadBar(elapsed);
            ui_->SetProgressBar(bar);
        });
    if (EndedByTransfer(fetched))
        return std::nullopt;
    if (fetched != FetchResult::Done) {
        End(UpgradeText::NotDownloaded, true);
        return std::nullopt;
    }
    // A slow download has crept past 90 by now: the bar does not step back.
    ui_->SetProgressBar(std::max(90.0, bar));
    return localPath;
}

std::optional<QByteArray> FirmwareUpgrade::ConvertImage(const QString& hexFile) {
    // A file the loader could not read or found damaged is not flashed, and an image the boot
    // loader cannot take is refused before its first block.
    SetPhase(UpgradePhase::Converting);
    failure_ = UpgradeOutcome::ImageRefused;
    const HexImage hex = Hex2BinString(hexFile, true, [this](const QString& text) {
        if (!wait_->Aborted())
            ui_->Message(text);
    });
    QString refusal;
    if (!hex.ok)
        refusal = UnreadableImageText(hex.error);
    else if (hex.checksumErrors)
        refusal = UpgradeText::ChecksumErrors;
    else if (refusal = IncompleteImageRefusal(hex); refusal.isEmpty())
        refusal = ImageRefusal(hex.image);
    if (!refusal.isEmpty()) {
        End(refusal, true);
        return std::nullopt;
    }
    return PadImage(hex.image);
}

UpgradeOutcome FirmwareUpgrade::UploadImage(const QByteArray& image,
                                            const FirmwareVersion& version) {
    blockCount_ = int(image.size() / UploadBlockBytes);
    int& k = nextBlock_;
    k = 0;
    ModMain::CancelRequested = 0;
    ui_->ShowProgress(UpgradeText::Caption);
    // What the first block shows stands before the first look at the user's input, so the
    // progress window never shows the download's text once the upload has begun.
    ui_->SetProgressText(SendingBlockText(k, blockCount_));
    ui_->SetProgressBar(BlockBar(k, blockCount_));

    SetPhase(UpgradePhase::SendingBlocks);
    for (;;) {
        // The one place per block where the user is heard: a Cancel pressed during the block
        // before is seen here.
        ui_->TakeUserInput();
        if (k >= blockCount_ || ModMain::CancelRequested != 0)
            break;
        ui_->SetProgressText(SendingBlockText(k, blockCount_));
        ui_->SetProgressBar(BlockBar(k, blockCount_));
        if (!SendUploadCommand(Command::UploadBlock, BlockPayload(image, k))) {
            FailUpload(UpgradeText::UploadFailed);
            return wait_->Aborted() ? UpgradeOutcome::Aborted : UpgradeOutcome::UploadFailed;
        }
        ++k;
    }
    const bool cancelled = ModMain::CancelRequested != 0;

    // Also after a Cancel: the device learns that the upload has ended. The full count and the
    // CRC of the whole image let it see that blocks are missing.
    SetPhase(UpgradePhase::Finishing);
    if (!SendUploadCommand(Command::UploadFinish, FinishPayload(image, version))) {
        FailUpload(UpgradeText::UpgradingFailed);
        return wait_->Aborted() ? UpgradeOutcome::Aborted : UpgradeOutcome::UploadFailed;
    }
    ++k;

    SetPhase(UpgradePhase::Rebooting);
    ui_->SetProgressText(UpgradeText::Rebooting);
    const double rebootEnd = Timer() + RebootSeconds;
    const auto showReboot = [this, rebootEnd] {
        ui_->SetProgressBar(RebootBar(rebootEnd - Timer()));
    };
    if (wait_->Until(rebootEnd, {}, showReboot, RebootTickSeconds) == UpgradeWait::End::Aborted) {
        End({}, false);
        return UpgradeOutcome::Aborted;
    }
    ui_->SetProgressBar(BlockBar(k, blockCount_));
    ui_->CloseProgress();

    SetPhase(UpgradePhase::Reconnecting);
    device_.ClosePort();
    if (wait_->Until(Timer() + ReopenPauseSeconds) == UpgradeWait::End::Aborted)
        return UpgradeOutcome::Aborted;
    ui_->Reconnect();
    ui_->ResumePoll();
    return cancelled ? UpgradeOutcome::Cancelled : UpgradeOutcome::Done;
}

bool FirmwareUpgrade::SendUploadCommand(std::uint8_t command, const QByteArray& payload) {
    for (int attempt = 0; attempt < UploadAttempts; ++attempt) {
        if (wait_->Aborted())
            return false;
        // Only the acknowledgement itself counts: a reply or a result code is a failed attempt.
        if (device_.SendCommand(command, payload) == SingleByte(ReplyOk))
            return true;
    }
    return false;
}

void FirmwareUpgrade::ConfigureInet() {
    inet_->UseFirmwareServer();
}

void FirmwareUpgrade::SetPhase(UpgradePhase phase) {
    if (phase == phase_)
        return;
    phase_ = phase;
    emit PhaseChanged(phase);
}

FirmwareUpgrade::FetchResult FirmwareUpgrade::FetchFile(const char* remotePath, QString& localPath,
                                                        const std::function<void(double)>& tick) {
    ConfigureInet();
    const std::optional<QString> path =
        downloadFileName_.isEmpty() ? TempDownloadPath() : TempDownloadPath(downloadFileName_);
    if (!path)
        return FetchResult::NoFolder;
    localPath = *path;
    // What an earlier download left must never pass for this one.
    QFile::remove(localPath);

    bool finished = false;
    bool transferOk = false;
    const QMetaObject::Connection done =
        connect(inet_, &Inet::TransferDone, this, [this, &finished, &transferOk](bool ok) {
            finished = true;
            transferOk = ok;
            wait_->Wake();
        });
    const auto disconnectDone = qScopeGuard([done] { QObject::disconnect(done); });
    if (!inet_->Execute(inet_->URL(), GetOperation(remotePath, localPath)))
        return FetchResult::Failed;

    // Ticks also when there is no bar to move, so that a Cancel is seen within one tick.
    const double start = Timer();
    const auto onTick = [&tick, start] {
        if (tick)
            tick(Timer() - start);
    };
    wait_->Until(
        start + TransferLimitSeconds,
        [&finished] { return finished || ModMain::CancelRequested != 0; }, onTick,
        DownloadTickSeconds);
    if (!finished)
        inet_->Cancel(); // too slow, Cancel, or the front end closing: the transfer is abandoned
    return finished && transferOk ? FetchResult::Done : FetchResult::Failed;
}

bool FirmwareUpgrade::EndedByTransfer(FetchResult fetched) {
    if (ModMain::CancelRequested != 0) {
        failure_ = UpgradeOutcome::Cancelled;
        End({}, true);
        return true;
    }
    if (fetched == FetchResult::NoFolder) {
        End(UpgradeText::NoDownloadFolder, true);
        return true;
    }
    return false;
}

void FirmwareUpgrade::End(const QString& message, bool resumePoll) {
    ui_->CloseProgress();
    // A front end that is closing shows nothing more and polls no more.
    if (wait_->Aborted()) {
        failure_ = UpgradeOutcome::Aborted;
        return;
    }
    if (!message.isEmpty())
        ui_->Message(message);
    if (resumePoll)
        ui_->ResumePoll();
}

void FirmwareUpgrade::FailUpload(const QString& message) {
    // The message comes over the progress display, which closes after it. The port stays open
    // and the poll stays off until the next connect: the device may be waiting in its boot
    // loader.
    if (!wait_->Aborted())
        ui_->Message(message);
    End({}, false);
}

void FirmwareUpgrade::Abort() {
    if (phase_ == UpgradePhase::Idle)
        return;
    wait_->Abort();
    inet_->Cancel();
}
