#pragma once
// The firmware of the KDR31 that the readings service polls: the online check, and upgrades on
// request.
//
// - The check fetches the version list from the firmware server (no image) when the poller starts
//   and then once a day, on a transfer thread of its own, so the poll never waits for it. It keeps
//   what it found (FirmwareStatus): the version installed, the one listed, when, and why the last
//   check failed.
// - A request to upgrade (over HTTP, from Home Assistant) is the answer Yes to the upgrade's
//   question. The upgrade runs as a job of the readings service, right after the reading in
//   progress: the same FirmwareUpgrade as the window's and kdr31-cli's, every check, refusal and
//   message of it, with a front end of this service's that keeps FirmwareStatus and writes the
//   lines kdr31-cli upgrade writes to a pipe. No reading is taken meanwhile; the poll goes on
//   once the device has identified itself again. The port keeps its claim all the while, also
//   across the upgrade's own close and reopen after the reboot. An upgrade that failed after
//   its first block (a refused block, a pulled cable, no answer after the reboot) has the device
//   looked for again as after a pulled cable.
// - Only the firmware server's image is ever installed this way.

#include "firmware/FirmwareStatus.h"

#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>

class FirmwareUpgrade;
class Inet;
class Kdr31Device;
class ReadingsService;
class UpgradeFrontEnd;
struct DeviceIdentity;

class FirmwareService : public QObject {
    Q_OBJECT
public:
    static constexpr int CheckIntervalMs = 24 * 3600 * 1000;
    // Upgrade events go out at every change of phase and at every further step of this many
    // percent of the blocks.
    static constexpr int ProgressStepPercent = 5;

    // The front end that writes the upgrade's lines (kdr31-cli upgrade's, to a pipe), made anew
    // for each upgrade. It is shown everything but the reconnection and the poll's pause, which
    // are this service's own.
    using JournalFactory = std::function<std::unique_ptr<UpgradeFrontEnd>(
        const FirmwareUpgrade& upgrade, UpgradeSource source)>;
    using AnswerDone = std::function<void(const UpgradeAnswer& answer)>;

    // fileTag names this poller's download files (the list of the check, the image), so that the
    // pollers of several ports of one user never write into one file.
    FirmwareService(ReadingsService& service, Kdr31Device& device, int portNumber,
                    const QString& fileTag, QObject* parent = nullptr);
    ~FirmwareService() override;

    void SetJournal(JournalFactory factory) { journal_ = std::move(factory); }

    // A check now, then every CheckIntervalMs.
    void StartChecks();

    // done is called once, on this thread: Busy or Refused at once where that is clear, otherwise
    // once the upgrade has begun to send its blocks (Started) or has ended before them
    // (Unchanged, Refused).
    void RequestUpgrade(UpgradeSource source, AnswerDone done);

    // The poller is stopping. An upgrade ends as Ctrl-C ends kdr31-cli upgrade: before its first
    // block at once, during the blocks after the block being sent (the finishing command still
    // goes out); after them the device is left to finish, unless this is the second time. Returns
    // what the user should hear of the wait, if anything.
    QString Stop();

    const FirmwareStatus& Status() const { return status_; }
    bool UpgradeWaitingOrRunning() const { return pending_ != nullptr || running_; }

signals:
    // Whenever the status changed; upgradeEvent: a change of the upgrade's phase, a further
    // ProgressStepPercent of its blocks, its start or its end.
    void Changed(const FirmwareStatus& status, bool upgradeEvent);
    // A check failed: why. The readings go on.
    void CheckFailed(const QString& reason);
    // The listed version differs from the device's, the first time that one is seen.
    void NewVersionListed(const FirmwareCheck& check);
    void UpgradeStarted(UpgradeSource source);
    // The upgrade has ended; lookAgain: the device is looked for again.
    void UpgradeEnded(const UpgradeProgress& upgrade, bool lookAgain);

private:
    class FrontEnd;
    struct Pending;

    void OnIdentified(const DeviceIdentity& identity);
    void StartCheck();
    void OnCheckDone(bool ok, const QString& error);
    void FailCheck(const QString& reason);
    // A listed version other than the device's, the first time it is seen.
    void ReportNewVersion();
    // The job: runs the upgrade; true when the device must be looked for again.
    bool RunUpgrade();
    void Answer(const UpgradeAnswer& answer);
    void Publish(bool upgradeEvent);

    ReadingsService& service_;
    Kdr31Device& device_;
    const int portNumber_;
    const QString listFileName_;
    const QString imageFileName_;
    JournalFactory journal_;
    FirmwareStatus status_;

    Inet* checkInet_ = nullptr;
    QString checkPath_;
    QTimer checkTimer_; // once a day
    QTimer checkLimit_; // a check that hangs
    bool checkTimedOut_ = false;
    bool stopping_ = false;
    std::optional<FirmwareVersion> reportedListed_;

    std::unique_ptr<Pending> pending_; // a request waiting for its job to run, or being run
    bool running_ = false;
    FirmwareUpgrade* current_ = nullptr;
    int stops_ = 0;
};
