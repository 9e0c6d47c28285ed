#pragma once
// The whole firmware upgrade, without widgets: the online version check, the confirmation, the
// download of the HEX image, its conversion and every refusal, the block upload with retries and
// Cancel, the finishing command, the reboot wait and the reconnection.
//
// The front end shows what the upgrade reports through UpgradeFrontEnd: the window with its
// progress window and message boxes, the command-line tool on a terminal.

#include "firmware/UpgradeSteps.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>
#include <optional>

class Inet;
class Kdr31Device;
class UpgradeWait;

class UpgradeFrontEnd {
public:
    virtual ~UpgradeFrontEnd() = default;
    // The progress display: made visible (or brought to the front) with its caption; its one line
    // of text; its bar from 0 to 100; closed for good.
    virtual void ShowProgress(const QString& caption) = 0;
    virtual void SetProgressText(const QString& text) = 0;
    virtual void SetProgressBar(double value) = 0;
    virtual void CloseProgress() = 0;
    // A Yes/No question; true for Yes.
    virtual bool AskYesNo(const QString& question) = 0;
    // A message the user must see (a failure, a refusal).
    virtual void Message(const QString& text) = 0;
    // Once per block, right before the Cancel test: the user's input is taken here, so a Cancel
    // is heard within one block.
    virtual void TakeUserInput() = 0;
    // The readings poll stops for the upgrade and restarts after it.
    virtual void StopPoll() = 0;
    virtual void ResumePoll() = 0;
    // After the reboot: connect again the way "Open" does.
    virtual void Reconnect() = 0;
};

enum class UpgradeOutcome {
    Done,          // uploaded, rebooted and reconnected
    NoDevice,      // no identified device on an open port
    AlreadyLatest, // the device runs the listed version
    Declined,      // the user answered No
    DownloadFailed,
    ImageRefused, // unreadable, damaged, incomplete, empty or too large: nothing was sent
    UploadFailed, // a block or the finishing command was not acknowledged
    Cancelled,    // Cancel: during a transfer nothing was sent; during the upload the
                  // finishing command went out
    Aborted,      // the front end is closing
};

class FirmwareUpgrade : public QObject {
    Q_OBJECT
public:
    explicit FirmwareUpgrade(Kdr31Device& device, QObject* parent = nullptr);
    ~FirmwareUpgrade() override;

    // Runs the whole upgrade; returns when it has ended, however it ended. A second Run while one
    // is in progress is refused (Aborted).
    UpgradeOutcome Run(UpgradeFrontEnd& frontEnd);

    // The front end is closing: the upgrade ends where it is, without further messages and
    // without further commands to the device.
    void Abort();

    // Later runs upload this Intel HEX file instead of the firmware server's: no online check
    // and no download, the question names the file, and the finishing command carries version
    // (the version the device reports afterwards). The conversion and its refusals, the upload,
    // the reboot and the reconnection are those of the online upgrade.
    void SetLocalImage(const QString& hexFile, const FirmwareVersion& version);

    // Later downloads go to this file of the download directory instead of "temp.tmp", so that
    // upgrades of several ports by one user never write into one file.
    void SetDownloadFileName(const QString& fileName) { downloadFileName_ = fileName; }

    UpgradePhase Phase() const { return phase_; }
    // The number of blocks of the image being uploaded, and the next to go (for progress shown
    // beyond the label, such as the time left).
    int BlockCount() const { return blockCount_; }
    int NextBlock() const { return nextBlock_; }
    // The version the upgrade list of this run named (or the local image's), once known: the one
    // being installed once the question was answered Yes.
    std::optional<FirmwareVersion> Listed() const { return listed_; }
    Inet& Transfer() { return *inet_; }

signals:
    // At each change of phase, Idle at the end included: for a front end that reports the
    // phases themselves (the finishing command, for one, shows nothing in the progress window).
    void PhaseChanged(UpgradePhase phase);

private:
    enum class FetchResult { Done, NoFolder, Failed };

    std::optional<FirmwareVersion> CheckOnlineVersion();
    std::optional<FirmwareVersion> ConfirmLocalImage();
    std::optional<QString> DownloadImage();
    std::optional<QByteArray> ConvertImage(const QString& hexFile);
    UpgradeOutcome UploadImage(const QByteArray& image, const FirmwareVersion& version);
    bool SendUploadCommand(std::uint8_t command, const QByteArray& payload);
    void ConfigureInet();
    FetchResult FetchFile(const char* remotePath, QString& localPath,
                          const std::function<void(double)>& tick);
    // Closes the progress, shows the message (if any) and, with resumePoll, restarts the poll;
    // nothing of that once the front end is closing.
    void End(const QString& message, bool resumePoll);
    // A transfer cancelled by the user, or with no folder to write to, ends the upgrade here
    // (true); any other outcome is the caller's to judge.
    bool EndedByTransfer(FetchResult fetched);
    void FailUpload(const QString& message);
    void SetPhase(UpgradePhase phase);

    Kdr31Device& device_;
    Inet* inet_ = nullptr;
    UpgradeWait* wait_ = nullptr;
    UpgradeFrontEnd* ui_ = nullptr;
    UpgradePhase phase_ = UpgradePhase::Idle;
    UpgradeOutcome failure_ = UpgradeOutcome::Aborted;
    int blockCount_ = 0;
    int nextBlock_ = 0;
    QString localHexFile_; // empty: the firmware server's image
    FirmwareVersion localVersion_{};
    QString downloadFileName_; // empty: "temp.tmp"
    std::optional<FirmwareVersion> listed_;
};
