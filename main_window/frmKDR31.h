#pragma once
// The main window: every control of the tool, the form-level state and the handlers. The
// handlers live in the folder of the subsystem they belong to (device_link/, main_window/,
// readings/, debug_log/, firmware/); this header is the one place that lists them all.

#include "app/Dialogs.h"
#include "debug_log/DebugLog.h"
#include "firmware/UpgradeSteps.h"
#include "readings/ReadingsFormat.h"

#include <QByteArray>
#include <QList>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class ClickableImage;
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
class UpDown;
class UpgradeWait;
class frmProgress;

// PortState values besides a port number 1-32.
enum : std::uint8_t {
    PortStateClosed = 0,    // no connection; closed by the program, or never opened
    PortStateNoDevice = 99, // the last connect failed: the port did not open, or no device answered
};

class frmKDR31 : public QWidget {
    Q_OBJECT
public:
    explicit frmKDR31(std::unique_ptr<Dialogs> dialogs, QWidget* parent = nullptr);
    ~frmKDR31() override;

    // Form-level state.
    std::uint8_t PortState = PortStateClosed;
    double RxDeadline = 0;
    // The serial number the device gave at its last identify (empty when it gave none).
    QString DeviceSerial;

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

    Dialogs& dialogs() { return *dialogs_; }

    // The debug log as read from the device, byte for byte (txtDebugLog shows it).
    const DebugLog& debugLog() const { return debugLog_; }

    // Device link (device_link/).
    std::uint8_t OpenCom(std::uint8_t portNumber);
    QByteArray SendCommand(std::uint8_t command, const QByteArray& payload);
    void ClosePort();

    // Readings (readings/).
    void InitGrid();

    // Firmware upgrade (firmware/). Inet1 is created right after cmdDebug.
    Inet* Inet1 = nullptr;
    // The progress window while an upgrade shows it; nullptr otherwise.
    frmProgress* Progress() const;
    UpgradePhase UpgradeState() const { return upgradePhase_; }

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
    void CreateControls();
    void ConnectHandlers();
    void ShowNotConnected();
    void ArmSettingsSend();
    void SelectPortEntry(int index);
    bool ConnectedToDevice() const;

    bool scanning_ = false;

    // Debug log.
    DebugLog debugLog_;

    // Firmware upgrade (firmware/UpgradeHandler.cpp).
    enum class FetchResult { Done, NoFolder, Failed };
    QList<QWidget*> ControlsLockedDuringUpgrade() const;
    void ConfigureInet();
    FetchResult FetchFile(const char* remotePath, QString& localPath,
                          const std::function<void(double)>& tick);
    std::optional<FirmwareVersion> CheckOnlineVersion();
    std::optional<QString> DownloadImage();
    std::optional<QByteArray> ConvertImage(const QString& hexFile);
    void UploadImage(const QByteArray& image, const FirmwareVersion& version);
    bool SendUploadCommand(std::uint8_t command, const QByteArray& payload);
    frmProgress& ProgressWindow();
    void CloseProgress();
    // Closes the progress window, shows the message (if any) and, with resumePoll, restarts the
    // poll; nothing of that once the window is closing. Returns nothing, for the steps that end
    // the upgrade with it.
    std::nullopt_t EndUpgrade(const QString& message, bool resumePoll);
    void FailUpload(const QString& message);
    void AbortUpgrade();

    UpgradePhase upgradePhase_ = UpgradePhase::Idle;
    UpgradeWait* upgradeWait_ = nullptr;
    frmProgress* progress_ = nullptr;

    std::unique_ptr<Dialogs> dialogs_;
};
