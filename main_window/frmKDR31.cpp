#include "main_window/frmKDR31.h"

#include "device/FirmwareUpgrade.h"
#include "device_link/MSComm.h"
#include "firmware/Inet.h"
#include "main_window/Artwork.h"
#include "main_window/ClickableImage.h"
#include "main_window/Fonts.h"
#include "main_window/PortComboBox.h"
#include "main_window/StatusStrip.h"
#include "main_window/UpDown.h"
#include "main_window/WindowTitles.h"
#include "main_window/WrapButton.h"
#include "readings/ReadingsGrid.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QRadioButton>
#include <QStyleFactory>
#include <QTimer>
#include <algorithm>
#include <map>

namespace {

// Positions are laid out in twips: 15 to a pixel at 96 dpi (Qt scales for high-dpi screens).
int Px(int twips) {
    return (twips + 7) / 15;
}

QRect Twips(int left, int top, int width, int height) {
    return QRect(Px(left), Px(top), Px(width), Px(height));
}

template <typename W> W* Place(W* widget, const char* name, QRect geometry) {
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(geometry);
    return widget;
}

void Colour(QPushButton* button, QColor colour) {
    QPalette palette = button->palette();
    palette.setColor(QPalette::Button, colour);
    button->setPalette(palette);
    button->setAutoFillBackground(true);
}

// The protocol option buttons are 13 pixels high: the style's own indicator would be cut.
class SmallIndicatorStyle : public QProxyStyle {
public:
    explicit SmallIndicatorStyle(int size)
        : QProxyStyle(QStyleFactory::create(QApplication::style()->name())), size_(size) {}
    int pixelMetric(PixelMetric metric, const QStyleOption* option,
                    const QWidget* widget) const override {
        if (metric == PM_ExclusiveIndicatorWidth || metric == PM_ExclusiveIndicatorHeight)
            return size_;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }

private:
    int size_;
};

// "Open" and "Close" share one place, and a click that arrives while "Open" connects is handled
// once it has: the second half of a double click on "Open" would land on "Close". A double click
// on a connection button is therefore one click.
class OneClickPerDoubleClick : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::MouseButtonDblClick)
            return true;
        return QObject::eventFilter(watched, event);
    }
};

QTimer* MakeTimer(QObject* parent, const char* name) {
    auto* timer = new QTimer(parent);
    timer->setObjectName(QLatin1String(name));
    timer->setInterval(1000);
    return timer;
}

} // namespace

frmKDR31::frmKDR31(std::unique_ptr<Dialogs> dialogs, QWidget* parent)
    : QWidget(parent), device_(new Kdr31Device(this)), PortState(device_->PortState),
      RxDeadline(device_->RxDeadline), dialogs_(std::move(dialogs)) {
    setObjectName(QStringLiteral("frmKDR31"));
    device_->SetMessageSink([this](const QString& text) { dialogs_->MsgBox(text); });
    CreateControls();
    ConnectHandlers();
    Form_Load();
}

frmKDR31::~frmKDR31() = default;

void frmKDR31::CreateControls() {
    setWindowTitle(ApplicationTitle());
    setWindowIcon(WindowIcon());
    resize(Px(21255), Px(6945));
    // The layout is in fixed positions made for an 8-point dialog font; a larger desktop font
    // would cut the captions off.
    const QFont dialogFont = DialogFont();
    setFont(dialogFont);

    std::map<int, QWidget*> tabOrder;
    auto tab = [&tabOrder](int index, QWidget* widget) { tabOrder[index] = widget; };

    cmdDebug = Place(new QPushButton(QStringLiteral("Debug Log"), this), "cmdDebug",
                     Twips(19815, 6330, 1305, 405));
    cmdDebug->hide();
    tab(23, cmdDebug);

    upgrade_ = new FirmwareUpgrade(*device_, this);
    Inet1 = &upgrade_->Transfer();

    cmdUpgrade = Place(new QPushButton(QStringLiteral("Upgrade"), this), "cmdUpgrade",
                       Twips(19695, 1425, 1050, 405));
    cmdUpgrade->hide();
    tab(22, cmdUpgrade);

    timTXSettings = MakeTimer(this, "timTXSettings");

    fraSettings = Place(new QGroupBox(QStringLiteral("Settings"), this), "fraSettings",
                        Twips(18255, 1935, 2865, 3720));
    fraSettings->hide();
    tab(8, fraSettings);

    txtDivider = Place(new QLineEdit(QStringLiteral("1"), fraSettings), "txtDivider",
                       Twips(1545, 623, 810, 285));
    tab(20, txtDivider);

    Frame3 = Place(new QGroupBox(QStringLiteral("Country"), fraSettings), "Frame3",
                   Twips(210, 1035, 2490, 990));
    tab(16, Frame3);
    optNLofB[0] = Place(new QRadioButton(QStringLiteral("Nederland"), Frame3), "optNLofB(0)",
                        Twips(255, 225, 2010, 390));
    tab(18, optNLofB[0]);
    optNLofB[1] = Place(new QRadioButton(QStringLiteral("België"), Frame3), "optNLofB(1)",
                        Twips(255, 570, 2010, 300));
    tab(17, optNLofB[1]);

    Frame2 = Place(new QGroupBox(QStringLiteral("Protocol DSMR"), fraSettings), "Frame2",
                   Twips(210, 2160, 2490, 1380));
    tab(12, Frame2);
    optProtocol[5] = Place(new QRadioButton(QStringLiteral("5.0"), Frame2), "optProtocol(5)",
                           Twips(240, 1065, 765, 195));
    tab(15, optProtocol[5]);
    optProtocol[4] = Place(new QRadioButton(QStringLiteral("4.0"), Frame2), "optProtocol(4)",
                           Twips(240, 675, 765, 195));
    tab(14, optProtocol[4]);
    optProtocol[2] = Place(new QRadioButton(QStringLiteral("2.0"), Frame2), "optProtocol(2)",
                           Twips(240, 285, 765, 195));
    tab(13, optProtocol[2]);
    auto* smallIndicators = new SmallIndicatorStyle(optProtocol[2]->height() - 2);
    smallIndicators->setParent(Frame2); // goes after the buttons that use it
    for (int index : {2, 4, 5})
        optProtocol[static_cast<size_t>(index)]->setStyle(smallIndicators);

    txtInterval = Place(new QLineEdit(QStringLiteral("60 sec."), fraSettings), "txtInterval",
                        Twips(1545, 240, 810, 285));
    txtInterval->setReadOnly(true);
    tab(9, txtInterval);

    updInterval = Place(new UpDown(fraSettings), "updInterval", Twips(2355, 240, 255, 285));
    updInterval->SetIncrement(5);
    tab(10, updInterval);
    updDivider = Place(new UpDown(fraSettings), "updDivider", Twips(2355, 623, 255, 285));
    updDivider->SetIncrement(1);
    tab(21, updDivider);

    Label5 = Place(new QLabel(QStringLiteral("Puls divider"), fraSettings), "Label5",
                   Twips(225, 645, 1125, 240));
    tab(19, Label5);
    Label4 = Place(new QLabel(QStringLiteral("Refresh speed"), fraSettings), "Label4",
                   Twips(225, 285, 1050, 240));
    tab(11, Label4);
    // Room is left up to the text boxes, so a wider desktop font need not cut the captions.
    for (QLabel* label : {Label4, Label5})
        label->resize(std::max(label->width(), label->sizeHint().width()), label->height());

    timScan = MakeTimer(this, "timScan");

    cmdScanCom = Place(new QPushButton(QStringLiteral("Scan"), this), "cmdScanCom",
                       Twips(18465, 225, 1050, 405));
    Colour(cmdScanCom, QColor(255, 255, 128));
    tab(4, cmdScanCom);

    cmdCloseCom = Place(new QPushButton(QStringLiteral("Close"), this), "cmdCloseCom",
                        Twips(19695, 825, 1050, 405));
    cmdCloseCom->hide();
    tab(1, cmdCloseCom);

    cmdOpenCom = Place(new QPushButton(QStringLiteral("Open"), this), "cmdOpenCom",
                       Twips(19680, 825, 1050, 405));
    Colour(cmdOpenCom, QColor(128, 255, 128));
    tab(0, cmdOpenCom);

    cmbComPort = Place(new PortComboBox(this), "cmbComPort", Twips(18465, 877, 1050, 315));
    tab(3, cmbComPort);

    grdInterfaces = Place(new ReadingsGrid(this), "grdInterfaces", Twips(135, 315, 17985, 6480));
    tab(2, grdInterfaces);

    MSComm1 = &device_->Port();

    fraDebug = Place(new QGroupBox(QStringLiteral("Debug Log"), this), "fraDebug",
                     Twips(2835, 915, 18315, 5580));
    fraDebug->setAutoFillBackground(true);
    fraDebug->hide();
    tab(24, fraDebug);
    cmldClear = Place(new QPushButton(QStringLiteral("Clear"), fraDebug), "cmldClear",
                      Twips(17100, 375, 885, 540));
    tab(29, cmldClear);
    cmdStopDebugLog = Place(new QPushButton(QStringLiteral("Exit"), fraDebug), "cmdStopDebugLog",
                            Twips(17100, 4785, 885, 540));
    tab(28, cmdStopDebugLog);
    cmdSaveDebugLog = Place(new WrapButton(QStringLiteral("Open in Notepad"), fraDebug),
                            "cmdSaveDebugLog", Twips(15165, 2040, 885, 540));
    tab(27, cmdSaveDebugLog);
    cmdReadDebugLog = Place(new QPushButton(QStringLiteral("Read"), fraDebug), "cmdReadDebugLog",
                            Twips(15135, 1215, 885, 540));
    tab(26, cmdReadDebugLog);
    txtDebugLog = Place(new QPlainTextEdit(fraDebug), "txtDebugLog", Twips(120, 240, 13755, 5145));
    txtDebugLog->setReadOnly(true);
    txtDebugLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    tab(25, txtDebugLog);

    QFont headingFont = dialogFont;
    headingFont.setPointSizeF(9.75);
    Label3 = Place(new QLabel(QStringLiteral("-------   INPUT   -------"), this), "Label3",
                   Twips(15660, 15, 2070, 270));
    Label2 =
        Place(new QLabel(QStringLiteral("----------------    EXPORT    ----------------"), this),
              "Label2", Twips(7695, 15, 3780, 270));
    Label1 = Place(new QLabel(QStringLiteral("-----------   IMPORT   ---------------"), this),
                   "Label1", Twips(2985, 15, 4065, 270));
    for (QLabel* label : {Label3, Label2, Label1})
        label->setFont(headingFont);
    tab(7, Label3);
    tab(6, Label2);
    tab(5, Label1);

    imgRefresh = Place(new ClickableImage(this), "imgRefresh", Twips(19920, 330, 810, 780));
    imgRefresh->setPixmap(RefreshPicture());
    imgRefresh->setScaledContents(true);
    imgRefresh->hide();

    // Below the place the window had for its controls, so that none of them moves: the window
    // grows by the strip. A further line is added here, below the connection's, before the strip
    // is placed: the strip and the window then grow by it.
    pnlStatus = new StatusStrip(this);
    pnlStatus->setObjectName(QStringLiteral("pnlStatus"));
    lblConnection =
        pnlStatus->AddLine(QStringLiteral("lblConnection"), QStringLiteral("Connection"));
    lblCapacity =
        pnlStatus->AddLine(QStringLiteral("lblCapacity"), QStringLiteral("Capacity tariff"));
    pnlStatus->setGeometry(Px(135), Px(6945), Px(21255) - 2 * Px(135), pnlStatus->Height());
    resize(Px(21255), pnlStatus->geometry().bottom() + 1 + Px(90));
    timFindDevice = MakeTimer(this, "timFindDevice");
    timFindDevice->setSingleShot(true);

    // Tab order as laid out; labels and frames take no focus and are passed over by Qt.
    QWidget* previous = nullptr;
    for (const auto& [index, widget] : tabOrder) {
        (void)index;
        if (previous)
            QWidget::setTabOrder(previous, widget);
        previous = widget;
    }
    cmdOpenCom->setFocus();
}

frmKDR31::CommandScope::CommandScope(frmKDR31& window) : window_(window) {
    ++window_.commandDepth_;
}

frmKDR31::CommandScope::~CommandScope() {
    if (--window_.commandDepth_ != 0)
        return;
    // A device lost during the command is looked for before anything else runs.
    if (window_.portLost_)
        window_.LookForDevice();
    if (!window_.heldCommands_.isEmpty())
        QMetaObject::invokeMethod(
            &window_, [w = &window_] { w->RunHeldCommands(); }, Qt::QueuedConnection);
}

void frmKDR31::UserCommand(void (frmKDR31::*handler)(), QWidget* control) {
    if (commandDepth_ > 0 || device_->Busy() || !heldCommands_.isEmpty()) {
        heldCommands_.append({handler, control});
        return;
    }
    CommandScope scope(*this);
    (this->*handler)();
}

void frmKDR31::RunHeldCommands() {
    while (commandDepth_ == 0 && !device_->Busy() && !heldCommands_.isEmpty()) {
        const HeldCommand held = heldCommands_.takeFirst();
        // Visible as part of the window, shown or not: a test may drive a window never shown.
        if (!held.control || !held.control->isVisibleTo(this) || !held.control->isEnabled())
            continue;
        CommandScope scope(*this);
        (this->*held.handler)();
    }
}

void frmKDR31::ConnectHandlers() {
    // A command that arrives while an exchange is in flight runs once it has ended.
    connect(device_, &Kdr31Device::TransactionEnded, this, [this] {
        if (commandDepth_ == 0 && portLost_)
            QMetaObject::invokeMethod(
                this, [this] { LookForDevice(); }, Qt::QueuedConnection);
        if (commandDepth_ == 0 && !heldCommands_.isEmpty())
            QMetaObject::invokeMethod(
                this, [this] { RunHeldCommands(); }, Qt::QueuedConnection);
    });
    connect(MSComm1, &MSComm::PortLost, this, [this] { PortLost(); });
    connect(timFindDevice, &QTimer::timeout, this, &frmKDR31::timFindDevice_Timer);
    const auto command = [this](void (frmKDR31::*handler)(), QWidget* control) {
        return [this, handler, control] { UserCommand(handler, control); };
    };
    auto* oneClick = new OneClickPerDoubleClick(this);
    for (QPushButton* button : {cmdOpenCom, cmdCloseCom, cmdScanCom})
        button->installEventFilter(oneClick);
    connect(cmdOpenCom, &QPushButton::clicked, this,
            command(&frmKDR31::cmdOpenCom_Click, cmdOpenCom));
    connect(cmdCloseCom, &QPushButton::clicked, this,
            command(&frmKDR31::cmdCloseCom_Click, cmdCloseCom));
    connect(cmdScanCom, &QPushButton::clicked, this,
            command(&frmKDR31::cmdScanCom_Click, cmdScanCom));
    // Every pick by the user, also of the entry already selected; the port scan runs the
    // handler itself when it moves the selection.
    connect(cmbComPort, &QComboBox::activated, this,
            command(&frmKDR31::cmbComPort_Click, cmbComPort));

    connect(timScan, &QTimer::timeout, this, &frmKDR31::timScan_Timer);
    connect(imgRefresh, &ClickableImage::clicked, this,
            command(&frmKDR31::imgRefresh_Click, imgRefresh));

    connect(cmdUpgrade, &QPushButton::clicked, this,
            command(&frmKDR31::cmdUpgrade_Click, cmdUpgrade));

    // Option buttons report a click when they become selected, by the user or the program.
    for (int index : {0, 1})
        connect(optNLofB[static_cast<size_t>(index)], &QRadioButton::toggled, this,
                [this, index](bool checked) {
                    if (checked)
                        optNLofB_Click(index);
                });
    for (int index : {2, 4, 5})
        connect(optProtocol[static_cast<size_t>(index)], &QRadioButton::toggled, this,
                [this, index](bool checked) {
                    if (checked)
                        optProtocol_Click(index);
                });
    connect(updInterval, &UpDown::Change, this, &frmKDR31::updInterval_Change);
    connect(updDivider, &UpDown::Change, this, &frmKDR31::updDivider_Change);
    connect(txtDivider, &QLineEdit::textChanged, this, &frmKDR31::txtDivider_Change);
    // When the user is done with the box (Enter, or the focus leaves it), it shows the value
    // that is sent: a typed 7.5 becomes 8, 11 becomes 10, an empty box its old value.
    connect(txtDivider, &QLineEdit::editingFinished, this, [this] {
        const QString shown = QString::number(updDivider->Value());
        if (txtDivider->text() != shown)
            txtDivider->setText(shown);
    });
    connect(timTXSettings, &QTimer::timeout, this, &frmKDR31::timTXSettings_Timer);

    connect(cmdDebug, &QPushButton::clicked, this, command(&frmKDR31::cmdDebug_Click, cmdDebug));
    connect(cmdReadDebugLog, &QPushButton::clicked, this,
            command(&frmKDR31::cmdReadDebugLog_Click, cmdReadDebugLog));
    connect(cmldClear, &QPushButton::clicked, this, command(&frmKDR31::cmldClear_Click, cmldClear));
    connect(cmdStopDebugLog, &QPushButton::clicked, this,
            command(&frmKDR31::cmdStopDebugLog_Click, cmdStopDebugLog));
    connect(cmdSaveDebugLog, &QPushButton::clicked, this,
            command(&frmKDR31::cmdSaveDebugLog_Click, cmdSaveDebugLog));
}

void frmKDR31::Form_Load() {
    for (int port = 1; port <= 32; ++port)
        cmbComPort->addItem(QStringLiteral("COM%1:").arg(port));
    cmbComPort->setCurrentIndex(-1);
    InitGrid();
}

void frmKDR31::Form_Unload() {
    StopLooking();
    PortState = PortStateClosed;
    ClosePort();
    QCoreApplication::processEvents();
}

void frmKDR31::closeEvent(QCloseEvent* event) {
    AbortUpgrade();
    Form_Unload();
    event->accept();
}
