#include "poller/FirmwareService.h"

#include "app/ModMain.h"
#include "device/FirmwareUpgrade.h"
#include "device/Kdr31Device.h"
#include "device_link/MSComm.h"
#include "firmware/Inet.h"
#include "poller/ReadingsService.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>

namespace {

qint64 Now() {
    return QDateTime::currentMSecsSinceEpoch();
}

QString OutcomeName(UpgradeOutcome outcome) {
    switch (outcome) {
    case UpgradeOutcome::Done:
        return QStringLiteral("done");
    case UpgradeOutcome::NoDevice:
        return QStringLiteral("no_device");
    case UpgradeOutcome::AlreadyLatest:
        return QStringLiteral("already_latest");
    case UpgradeOutcome::Declined:
        return QStringLiteral("declined");
    case UpgradeOutcome::DownloadFailed:
        return QStringLiteral("download_failed");
    case UpgradeOutcome::ImageRefused:
        return QStringLiteral("image_refused");
    case UpgradeOutcome::UploadFailed:
        return QStringLiteral("upload_failed");
    case UpgradeOutcome::Cancelled:
        return QStringLiteral("cancelled");
    case UpgradeOutcome::Aborted:
        return QStringLiteral("aborted");
    }
    return QStringLiteral("aborted");
}

} // namespace

struct FirmwareService::Pending {
    UpgradeSource source = UpgradeSource::Http;
    AnswerDone done; // empty once answered
};

// The upgrade's front end in the service: what the window's progress window and message boxes
// would show goes to the journal and into FirmwareStatus; the question is answered Yes (the
// request was that answer); the poll's pause is the job itself, and the reconnection takes the
// claim the port kept.
class FirmwareService::FrontEnd : public UpgradeFrontEnd {
public:
    FrontEnd(FirmwareService& service, const FirmwareUpgrade& upgrade, UpgradeFrontEnd* journal)
        : s_(service), upgrade_(upgrade), journal_(journal) {}

    void ShowProgress(const QString& caption) override {
        if (journal_)
            journal_->ShowProgress(caption);
    }
    void SetProgressText(const QString& text) override {
        if (journal_)
            journal_->SetProgressText(text);
        UpgradeProgress& progress = *s_.status_.upgrade;
        if (progress.label == text)
            return;
        progress.label = text;
        s_.Publish(false);
    }
    void SetProgressBar(double value) override {
        if (journal_)
            journal_->SetProgressBar(value);
    }
    void CloseProgress() override {
        if (journal_)
            journal_->CloseProgress();
    }
    bool AskYesNo(const QString& question) override {
        // Written as kdr31-cli upgrade --yes writes it, with who answered.
        if (journal_)
            journal_->AskYesNo(question);
        return true;
    }
    void Message(const QString& text) override {
        if (journal_)
            journal_->Message(text);
        lastMessage_ = text;
    }
    void TakeUserInput() override {
        QCoreApplication::processEvents();
        if (upgrade_.Phase() != UpgradePhase::SendingBlocks)
            return;
        // The image passed every check: the requester hears that its blocks are on their way.
        if (!blocksBegan_) {
            blocksBegan_ = true;
            s_.Answer({UpgradeAnswer::Started,
                       QStringLiteral("the upgrade to V%1 has begun: %2 blocks")
                           .arg(VersionText(upgrade_.Listed().value_or(FirmwareVersion{})))
                           .arg(upgrade_.BlockCount()),
                       QString()});
        }
        UpgradeProgress& progress = *s_.status_.upgrade;
        progress.blocks = upgrade_.BlockCount();
        progress.blocksSent = upgrade_.NextBlock();
        const int step = progress.Percent().value_or(0) / ProgressStepPercent;
        const bool event = step != lastStep_;
        lastStep_ = step;
        s_.Publish(event);
    }
    void StopPoll() override {}
    void ResumePoll() override {}
    void Reconnect() override {
        // The port closed with its claim kept: the open takes it up again.
        s_.device_.Disconnect();
        s_.device_.Connect(s_.portNumber_);
    }

    void OnPhase(UpgradePhase phase) {
        if (phase == UpgradePhase::Idle)
            return; // the end is told with the outcome
        UpgradeProgress& progress = *s_.status_.upgrade;
        progress.phase = phase;
        if (phase == UpgradePhase::Confirming || phase == UpgradePhase::SendingBlocks)
            progress.target = upgrade_.Listed();
        if (phase == UpgradePhase::SendingBlocks) {
            progress.blocks = upgrade_.BlockCount();
            lastStep_ = 0;
        }
        s_.Publish(true);
    }

    bool BlocksBegan() const { return blocksBegan_; }
    QString LastMessage() const { return lastMessage_; }

private:
    FirmwareService& s_;
    const FirmwareUpgrade& upgrade_;
    UpgradeFrontEnd* journal_;
    QString lastMessage_;
    bool blocksBegan_ = false;
    int lastStep_ = 0;
};

FirmwareService::FirmwareService(ReadingsService& service, Kdr31Device& device, int portNumber,
                                 const QString& fileTag, QObject* parent)
    : QObject(parent), service_(service), device_(device), portNumber_(portNumber),
      listFileName_(QStringLiteral("list-%1.tmp").arg(fileTag)),
      imageFileName_(QStringLiteral("temp-%1.tmp").arg(fileTag)), checkInet_(new Inet(this)) {
    checkTimer_.setInterval(CheckIntervalMs);
    connect(&checkTimer_, &QTimer::timeout, this, &FirmwareService::StartCheck);
    checkLimit_.setSingleShot(true);
    connect(&checkLimit_, &QTimer::timeout, this, [this] {
        // Cancel reports the end at once, as a failure.
        checkTimedOut_ = true;
        checkInet_->Cancel();
    });
    connect(checkInet_, &Inet::TransferDone, this, &FirmwareService::OnCheckDone);
    connect(&service_, &ReadingsService::Identified, this, &FirmwareService::OnIdentified);
    // A request still waiting for its turn when the device goes is answered now: the upgrade
    // would otherwise start whenever the device came back, long after it was asked for.
    connect(&service_, &ReadingsService::Lost, this, [this] {
        if (!pending_ || running_)
            return;
        service_.DropJob();
        Answer({UpgradeAnswer::Refused, UpgradeText::NoDevice, QStringLiteral("no_device")});
        pending_.reset();
    });
}

FirmwareService::~FirmwareService() = default;

void FirmwareService::StartChecks() {
    // The version list does not wait for the device: a KDR31 that is late at boot is compared
    // with it when it identifies itself.
    if (device_.Connected())
        OnIdentified(device_.Identity());
    checkTimer_.start();
    StartCheck();
}

void FirmwareService::OnIdentified(const DeviceIdentity& identity) {
    if (status_.check.installed == identity.version)
        return;
    status_.check.installed = identity.version;
    Publish(false);
    ReportNewVersion();
}

void FirmwareService::ReportNewVersion() {
    const FirmwareCheck& check = status_.check;
    if (check.Differ() && reportedListed_ != check.listed) {
        reportedListed_ = check.listed;
        emit NewVersionListed(check);
    }
}

void FirmwareService::StartCheck() {
    if (checkInet_->StillExecuting() || stopping_)
        return;
    const std::optional<QString> path = TempDownloadPath(listFileName_);
    if (!path)
        return FailCheck(
            QStringLiteral("there is no folder this program may write the version list to"));
    checkPath_ = *path;
    // What an earlier check left must never pass for this one.
    QFile::remove(checkPath_);
    checkInet_->UseFirmwareServer();
    checkInet_->SetMaxBytes(UpgradeListMaxBytes);
    const QString operation =
        QStringLiteral("GET \"%1\" \"%2\"").arg(QLatin1String(kUpgradeListRemotePath), checkPath_);
    checkTimedOut_ = false;
    if (!checkInet_->Execute(checkInet_->URL(), operation))
        return FailCheck(checkInet_->LastError());
    checkLimit_.start(int(TransferLimitSeconds * 1000));
}

void FirmwareService::OnCheckDone(bool ok, const QString& error) {
    checkLimit_.stop();
    if (stopping_)
        return;
    const std::optional<FirmwareVersion> listed = ok ? ReadListedVersion(checkPath_) : std::nullopt;
    QFile::remove(checkPath_);
    if (!listed) {
        if (checkTimedOut_)
            return FailCheck(QStringLiteral("the firmware server sent no version list within %1 s")
                                 .arg(TransferLimitSeconds));
        return FailCheck(ok ? QStringLiteral("the version list is shorter than %1 bytes")
                                  .arg(UpgradeListMinBytes)
                            : error);
    }
    FirmwareCheck& check = status_.check;
    check.listed = listed;
    check.checkedAt = Now();
    check.error.clear();
    Publish(false);
    ReportNewVersion();
}

void FirmwareService::FailCheck(const QString& reason) {
    // What an earlier check listed stays: it is still the best word on the server's version.
    status_.check.checkedAt = Now();
    status_.check.error = reason;
    Publish(false);
    emit CheckFailed(reason);
}

void FirmwareService::RequestUpgrade(UpgradeSource source, AnswerDone done) {
    if (UpgradeWaitingOrRunning()) {
        if (done)
            done({UpgradeAnswer::Busy,
                  QStringLiteral("an upgrade of this KDR31 is under way already"), QString()});
        return;
    }
    if (stopping_ || !service_.DeviceConnected()) {
        if (done)
            done({UpgradeAnswer::Refused, UpgradeText::NoDevice, QStringLiteral("no_device")});
        return;
    }
    pending_ = std::make_unique<Pending>(Pending{source, std::move(done)});
    // Another job of the service's has the device's next gap.
    if (!service_.RunBetweenReadings([this] { return RunUpgrade(); })) {
        Answer({UpgradeAnswer::Busy, QStringLiteral("the KDR31 is busy; ask again in a minute"),
                QString()});
        pending_.reset();
    }
}

void FirmwareService::Answer(const UpgradeAnswer& answer) {
    if (!pending_ || !pending_->done)
        return;
    const AnswerDone done = std::move(pending_->done);
    pending_->done = nullptr;
    done(answer);
}

bool FirmwareService::RunUpgrade() {
    running_ = true;
    stops_ = 0;
    const UpgradeSource source = pending_->source;
    UpgradeProgress started;
    started.running = true;
    started.source = source;
    started.startedAt = Now();
    status_.upgrade = started;
    emit UpgradeStarted(source);
    Publish(true);

    FirmwareUpgrade upgrade(device_);
    upgrade.SetDownloadFileName(imageFileName_);
    const std::unique_ptr<UpgradeFrontEnd> journal = journal_ ? journal_(upgrade, source) : nullptr;
    FrontEnd frontEnd(*this, upgrade, journal.get());
    connect(&upgrade, &FirmwareUpgrade::PhaseChanged, this,
            [&frontEnd](UpgradePhase phase) { frontEnd.OnPhase(phase); });
    MSComm& port = device_.Port();
    // No other program may take the port between the blocks, nor while the device reboots and
    // the port is closed and opened again.
    port.HoldClaim(true);
    current_ = &upgrade;
    const UpgradeOutcome outcome = upgrade.Run(frontEnd);
    current_ = nullptr;
    port.HoldClaim(false);
    running_ = false;

    const bool back = device_.Connected() && port.PortOpen();
    bool lookAgain = !back;
    // After a block went out the device may sit in its boot loader, whatever the port says.
    if (outcome == UpgradeOutcome::UploadFailed ||
        (outcome == UpgradeOutcome::Aborted && frontEnd.BlocksBegan()))
        lookAgain = true;

    UpgradeProgress& ended = *status_.upgrade;
    ended.running = false;
    ended.phase = UpgradePhase::Idle;
    ended.endedAt = Now();
    ended.outcome = OutcomeName(outcome);
    ended.message = frontEnd.LastMessage();
    // The upgrade's own list is as fresh a check as any.
    if (upgrade.Listed()) {
        status_.check.listed = upgrade.Listed();
        status_.check.checkedAt = ended.endedAt;
        status_.check.error.clear();
    }
    if (back)
        status_.check.installed = device_.Identity().version;

    switch (outcome) {
    case UpgradeOutcome::AlreadyLatest:
        Answer({UpgradeAnswer::Unchanged, UpgradeText::AlreadyLatest, ended.outcome});
        break;
    default:
        // Ended before its first block: the requester hears why, in the upgrade's own words.
        Answer({UpgradeAnswer::Refused,
                ended.message.isEmpty() ? QStringLiteral("the upgrade ended (%1); nothing was "
                                                         "sent")
                                              .arg(ended.outcome)
                                        : ended.message,
                ended.outcome});
        break;
    }
    pending_.reset();
    Publish(true);
    emit UpgradeEnded(ended, lookAgain);
    return lookAgain;
}

QString FirmwareService::Stop() {
    ++stops_;
    stopping_ = true;
    checkTimer_.stop();
    checkLimit_.stop();
    checkInet_->Cancel();
    if (pending_ && !running_) {
        service_.DropJob();
        Answer({UpgradeAnswer::Refused, QStringLiteral("the poller is stopping"),
                QStringLiteral("aborted")});
        pending_.reset();
        return {};
    }
    if (!current_)
        return {};
    switch (current_->Phase()) {
    case UpgradePhase::SendingBlocks:
        if (stops_ > 1)
            break;
        ModMain::CancelRequested = -1;
        return QStringLiteral("stopping: the upgrade ends after the block being sent, and the "
                              "KDR31 is told so");
    case UpgradePhase::Finishing:
    case UpgradePhase::Rebooting:
    case UpgradePhase::Reconnecting:
        if (stops_ > 1)
            break;
        return QStringLiteral("stopping once the KDR31 has finished its upgrade; stop again to "
                              "stop waiting for it");
    default:
        break;
    }
    current_->Abort();
    return {};
}

void FirmwareService::Publish(bool upgradeEvent) {
    emit Changed(status_, upgradeEvent);
}
