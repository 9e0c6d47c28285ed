#pragma once
// The progress window of the firmware upgrade: one line of text, a bar from 0 to 100 and a
// Cancel button. It exists only while an upgrade shows it; the upgrade sets its texts and bar
// and closes it. Cancel only raises ModMain::CancelRequested; the upgrade decides what follows.

#include <QWidget>

class QLabel;
class QProgressBar;
class QPushButton;

class frmProgress : public QWidget {
    Q_OBJECT
public:
    // A window of its own (parent only for ownership and stacking).
    explicit frmProgress(QWidget* parent = nullptr);

    QPushButton* cmdCancel = nullptr;
    QProgressBar* pgb1 = nullptr;
    QLabel* lblprogress = nullptr;

    // Makes the window visible, modeless, in the centre of the screen the first time; later
    // calls only bring it to the front.
    void ShowModeless();
    // Sets the bar to a value from 0 to 100; fractions are cut off, so 100 shows only when the
    // work is done.
    void SetBar(double value);
    // Closes the window for good; the upgrade calls it, not the user.
    void Unload();

public slots:
    void cmdCancel_Click();

protected:
    // The window system's close button counts as Cancel: the window stays until the upgrade
    // closes it, so the user keeps seeing what the device is going through.
    void closeEvent(QCloseEvent* event) override;

private:
    void CentreOnScreen();

    bool placed_ = false;
    bool unloading_ = false;
};
