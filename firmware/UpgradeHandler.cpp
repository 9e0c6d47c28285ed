// "Upgrade": the window's side of the firmware upgrade. The device layer runs the flow
// (device/FirmwareUpgrade); the window shows it in the progress window and message boxes, keeps
// the controls that would disturb it disabled, and reconnects through "Open" at its end.

#include "app/ModMain.h"
#include "device/FirmwareUpgrade.h"
#include "device_link/MSComm.h"
#include "firmware/Inet.h"
#include "firmware/frmProgress.h"
#include "main_window/frmKDR31.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QScopeGuard>
#include <QTimer>

class frmKDR31::UpgradeWindow : public UpgradeFrontEnd {
public:
    explicit UpgradeWindow(frmKDR31& window) : w_(window) {}

    void ShowProgress(const QString& caption) override {
        frmProgress& progress = w_.ProgressWindow();
        progress.setWindowTitle(caption);
        progress.ShowModeless();
    }
    void SetProgressText(const QString& text) override {
        w_.ProgressWindow().lblprogress->setText(text);
    }
    void SetProgressBar(double value) override { w_.ProgressWindow().SetBar(value); }
    void CloseProgress() override { w_.CloseProgress(); }
    bool AskYesNo(const QString& question) override { return w_.dialogs_->AskYesNo(question); }
    void Message(const QString& text) override { w_.dialogs_->MsgBox(text); }
    void TakeUserInput() override { QCoreApplication::processEvents(); }
    void StopPoll() override {
        // A settings change still waiting for its second goes out now: its timer would otherwise
        // send it in the middle of the upgrade and restart the poll.
        if (w_.timTXSettings->isActive())
            w_.timTXSettings_Timer();
        w_.timScan->stop();
    }
    void ResumePoll() override { w_.timScan->start(); }
    void Reconnect() override { w_.cmdOpenCom_Click(); }

private:
    frmKDR31& w_;
};

frmProgress* frmKDR31::Progress() const {
    return progress_;
}

UpgradePhase frmKDR31::UpgradeState() const {
    return upgrade_->Phase();
}

QList<QWidget*> frmKDR31::ControlsLockedDuringUpgrade() const {
    // Everything that would close or reopen the port, start a transaction of its own or start a
    // second upgrade.
    return {cmdCloseCom, cmdOpenCom, cmdScanCom, cmbComPort,
            cmdUpgrade,  cmdDebug,   fraDebug,   fraSettings};
}

void frmKDR31::cmdUpgrade_Click() {
    if (upgrade_->Phase() != UpgradePhase::Idle)
        return;
    QList<QPair<QWidget*, bool>> locked;
    if (ConnectedToDevice() && MSComm1->PortOpen()) {
        for (QWidget* control : ControlsLockedDuringUpgrade()) {
            locked.append({control, control->isEnabled()});
            control->setEnabled(false);
        }
    }
    const auto unlock = qScopeGuard([locked] {
        for (const auto& [control, enabled] : locked)
            control->setEnabled(enabled);
    });
    UpgradeWindow frontEnd(*this);
    upgrade_->Run(frontEnd);
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

void frmKDR31::AbortUpgrade() {
    // The window is closing: the upgrade ends where it is, without further messages; the device
    // gets no further command and no finishing command. The handler closes the progress window
    // as soon as its current step returns.
    upgrade_->Abort();
}
