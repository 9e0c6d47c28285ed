#pragma once
// The main window: every control of the tool and the handlers. The handlers live in the folder
// of the subsystem they belong to (device_link/, main_window/, readings/, debug_log/,
// firmware/); this header is the one place that lists them all. Each handler reads its
// controls, calls the device layer (device/) and shows what comes back.

#include "app/Dialogs.h"
#include "debug_log/DebugLog.h"
#include "device/Kdr31Device.h"
#include "firmware/UpgradeSteps.h"
#include "poller/ReconnectBackoff.h"
#include "readings/ReadingsFormat.h"

#include <QByteArray>
#include <QList>
#include <QPointer>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class ClickableImage;
class FirmwareUpgrade;
class Inet;
class MSComm;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QTimer;
class ReadingsGrid;
class StatusStrip;
class UpDown;
class frmProgress;

class frmKDR31 : public QWidget {
    Q_OBJECT
    // Made first: the form-level state below refers into it.
    Kdr31Device* const device_;

public:
    explicit frmKDR31(std::unique_ptr<Dialogs> dialogs, QWidget* parent = nullptr);
    ~frmKDR31() override;

    // The device behind the window; it owns the port and the connection state.
    Kdr31Device& Device() { return *device_; }

    // Form-level state, kept by the device layer.
    std::uint8_t& PortState;
    double& RxDeadline;

    // Controls, in the order in which they are created.
    QPushButton* cmdDebug = nullptr;
    QPushButton* cmdUpgrade = nullptr;
    QTimer* timTXSettings = nullptr;
    QGroupBox* fraSettings = nullptr;
    QLineEdit* txtDivider = nullptr;
    QGroupBox* Frame3 = nullptr;
    std::array<QRadioButton*, 2> optNLofB{}; // 0 "Nederland", 1 "België"
    QGroupBox* Frame2 = nullptr;
    std::array<QRadioButton*, 6> optProtocol{}; // indices 2, 4, 5: the DSMR major version
    QLineEdit* txtInterval = nullptr;
    UpDown* updInterval = nullptr;
    UpDown* updDivider = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label4 = nullptr;
    QTimer* timScan = nullptr;
    QPushButton* cmdScanCom = nullptr;
    QPushButton* cmdCloseCom = nullptr;
    QPushButton* cmdOpenCom = nullptr;
    QComboBox* cmbComPort = nullptr;
    ReadingsGrid* grdInterfaces = nullptr;
    MSComm* MSComm1 = nullptr;
    QGroupBox* fraDebug = nullptr;
    QPushButton* cmldClear = nullptr;
    QPushButton* cmdStopDebugLog = nullptr;
    QPushButton* cmdSaveDebugLog = nullptr;
    QPushButton* cmdReadDebugLog = nullptr;
    QPlainTextEdit* txtDebugLog = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label1 = nullptr;
    ClickableImage* imgRefresh = nullptr;

    // Below the grid, made after the controls above: the strip of text lines, and its line for
    // the connection (a device that was unplugged, a port another program holds).
    StatusStrip* pnlStatus = nullptr;
    QLabel* lblConnection = nullptr;
    // The capacity tariff at the newest reading (main_window/CapacityLine.cpp), in a warning
    // colour while the peak warning is on.
    QLabel* lblCapacity = nullptr;
    // While a device that went away is looked for: the next attempt (single shot).
    QTimer* timFindDevice = nullptr;

    Dialogs& dialogs() { return *dialogs_; }

    // The debug log as read from the device, byte for byte (txtDebugLog shows it).
    const DebugLog& debugLog() const { return debugLog_; }

    // Device link (device_link/PortHandlers.cpp), through the device layer.
    std::uint8_t OpenCom(std::uint8_t portNumber);
    QByteArray SendCommand(std::uint8_t command, const QByteArray& payload);
    void ClosePort();

    // Readings (readings/).
    void InitGrid();
    // The capacity tariff's line (main_window/CapacityLine.cpp): the figures of the newest
    // reading; nullptr empties it.
    void ShowCapacity(const CapacityNow* now);

    // Firmware upgrade (firmware/). Inet1 is created right after cmdDebug.
    Inet* Inet1 = nullptr;
    // The progress window while an upgrade shows it; nullptr otherwise.
    frmProgress* Progress() const;
    UpgradePhase UpgradeState() const;

    // The serial number of the device that identified itself last (empty before).
    QString SerialNumber() const { return device_->Identity().serialNumber; }

public slots:
    void Form_Load();
    void Form_Unload();

    // Connect, disconnect and port scan (main_window/).
    void cmdOpenCom_Click();
    void cmdCloseCom_Click();
    void cmbComPort_Click();
    void cmdScanCom_Click();

    // Readings poll (readings/ReadingsPoll.cpp).
    void timScan_Timer();
    void imgRefresh_Click();

    // Device settings (readings/SettingsHandlers.cpp).
    void optNLofB_Click(int index);
    void optProtocol_Click(int index);
    void updInterval_Change();
    void updDivider_Change();
    void txtDivider_Change();
    void timTXSettings_Timer();

    // A device that went away (main_window/ConnectHandlers.cpp).
    void timFindDevice_Timer();

    // Debug log (debug_log/DebugLogHandlers.cpp).
    void cmdDebug_Click();
    void cmdReadDebugLog_Click();
    void cmldClear_Click();
    void cmdStopDebugLog_Click();
    void cmdSaveDebugLog_Click();

    // Firmware upgrade (firmware/UpgradeHandler.cpp).
    void cmdUpgrade_Click();

signals:
    // Every row the poll appends to the grid, with the device's serial number.
    void ReadingTaken(const Reading& reading);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    class UpgradeWindow;
    friend class UpgradeWindow;

    void CreateControls();
    void ConnectHandlers();
    void ShowNotConnected();
    // keepRows: the device came back by itself; the rows read before it went stay.
    void ShowConnectOutcome(int portNumber, ConnectOutcome outcome, bool keepRows = false);
    // The line for a port whose open was refused because another program holds it.
    QString HeldPortText(int portNumber) const;
    void ArmSettingsSend();
    void SelectPortEntry(int index);
    bool ConnectedToDevice() const;

    // A user's command (a button, a pick in the port list) runs now, or, when a command or an
    // exchange with the device is in progress, right after it has ended, in the order the
    // commands came. Mouse and keys cannot reach the window inside an exchange; this holds back
    // what can: an assistive technology's press action, a queued signal. A held command runs
    // only if its control is still visible and enabled when its turn comes: what it was given
    // for may have changed meanwhile ("Open" pressed again during the first Open's exchange is
    // gone once the port is open, and must not reopen it).
    void UserCommand(void (frmKDR31::*handler)(), QWidget* control);
    void RunHeldCommands();
    struct HeldCommand {
        void (frmKDR31::*handler)();
        QPointer<QWidget> control;
    };
    // While one lives, a command or a tick is running: user commands wait for its end.
    class CommandScope {
    public:
        explicit CommandScope(frmKDR31& window);
        ~CommandScope();
        CommandScope(const CommandScope&) = delete;
        CommandScope& operator=(const CommandScope&) = delete;

    private:
        frmKDR31& window_;
    };
    int commandDepth_ = 0;
    QList<HeldCommand> heldCommands_;

    std::unique_ptr<Dialogs> dialogs_;

    bool scanning_ = false;

    // A device that went away: the port reported it gone (MSComm::PortLost) while the device was
    // connected. Noticed at once between commands, at the end of the command otherwise, so a
    // refresh in progress sees that its reading was cut off.
    void PortLost();
    void LookForDevice();
    void StopLooking();
    bool portLost_ = false;
    // The port of the device being looked for; 0 while none is.
    int lostPort_ = 0;
    ReconnectBackoff findBackoff_;

    // Debug log.
    DebugLog debugLog_;

    // Firmware upgrade (firmware/UpgradeHandler.cpp).
    QList<QWidget*> ControlsLockedDuringUpgrade() const;
    frmProgress& ProgressWindow();
    void CloseProgress();
    void AbortUpgrade();

    FirmwareUpgrade* upgrade_ = nullptr;
    frmProgress* progress_ = nullptr;
};
