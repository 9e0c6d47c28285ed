// The settings frame: a change arms a one-second delay, after which all four settings go to the
// device in one command and the poll restarts with the new interval.

#include "device_link/MSComm.h"
#include "main_window/UpDown.h"
#include "main_window/frmKDR31.h"
#include "readings/DeviceSettings.h"

#include <QLineEdit>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QTimer>
#include <algorithm>

void frmKDR31::ArmSettingsSend() {
    // Arming again starts the second anew; the send reads every control when it runs, so it
    // carries all changes made before it.
    timTXSettings->setInterval(1000);
    timTXSettings->start();
}

void frmKDR31::optNLofB_Click(int) {
    ArmSettingsSend();
}

void frmKDR31::optProtocol_Click(int) {
    ArmSettingsSend();
}

void frmKDR31::updInterval_Change() {
    txtInterval->setText(QString::number(updInterval->Value()) + QStringLiteral(" sec."));
    ArmSettingsSend();
}

void frmKDR31::updDivider_Change() {
    txtDivider->setText(QString::number(updDivider->Value()));
    ArmSettingsSend();
}

void frmKDR31::txtDivider_Change() {
    // The text stays as typed while the user types: Backspace on "5" leaves an empty box, and a
    // 7 typed next is a 7. The spinner takes the number at once, within its range, so the send
    // carries what the box will show; the box itself is corrected when editing finishes.
    const QString typed = txtDivider->text();
    if (typed.trimmed().isEmpty())
        return; // nothing typed yet: nothing to send
    const int before = updDivider->Value();
    {
        const QSignalBlocker quiet(updDivider); // its change handler would rewrite the box
        updDivider->SetValue(RoundHalfEven(std::clamp(LeadingNumber(typed), -1e9, 1e9)));
    }
    if (updDivider->Value() != before)
        ArmSettingsSend();
}

void frmKDR31::timTXSettings_Timer() {
    if (device_->Busy())
        return; // deferred: the timer stays armed and comes back in a second
    if (!ConnectedToDevice() || !MSComm1->PortOpen()) {
        timTXSettings->stop(); // dropped: there is no device to send it to
        return;
    }
    CommandScope scope(*this);
    timScan->stop();
    const int interval = updInterval->Value();
    const int divider = updDivider->Value();
    device_->SendSettings(SettingsPayload(interval, optNLofB[0]->isChecked(),
                                          optProtocol[2]->isChecked(), optProtocol[4]->isChecked(),
                                          divider));
    // The boxes show what went to the device: a typed 3.4 reads 3 from now on, 12 reads 10.
    // Only here, not at every key, so typing is never overwritten under the user's hands.
    const QString intervalText = QString::number(interval) + QStringLiteral(" sec.");
    if (txtInterval->text() != intervalText)
        txtInterval->setText(intervalText);
    const QString dividerText = QString::number(divider);
    if (txtDivider->text() != dividerText)
        txtDivider->setText(dividerText);
    timScan->setInterval(interval * 1000);
    timScan->start();
    timTXSettings->stop();
}
