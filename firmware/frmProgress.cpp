#include "firmware/frmProgress.h"

#include "app/ModMain.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <algorithm>
#include <cmath>

namespace {

// Laid out in twips, 15 to a pixel at 96 dpi, like the main window.
int Px(int twips) {
    return (twips + 7) / 15;
}

QRect Twips(int left, int top, int width, int height) {
    return QRect(Px(left), Px(top), Px(width), Px(height));
}

} // namespace

frmProgress::frmProgress(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("frmProgress"));
    setWindowTitle(QStringLiteral("Progress..."));
    setFixedSize(Px(5655), Px(1560));
    // The window only reports on the upgrade: it never keeps the program running by itself.
    setAttribute(Qt::WA_QuitOnClose, false);

    pgb1 = new QProgressBar(this);
    pgb1->setObjectName(QStringLiteral("pgb1"));
    pgb1->setGeometry(Twips(270, 630, 5205, 270));
    pgb1->setRange(0, 100);
    pgb1->setValue(0);
    pgb1->setTextVisible(false);

    lblprogress = new QLabel(QStringLiteral("Bezig met ..."), this);
    lblprogress->setObjectName(QStringLiteral("lblprogress"));
    lblprogress->setGeometry(Twips(360, 120, 4965, 405));

    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    cmdCancel->setGeometry(Twips(2295, 930, 960, 396));

    connect(cmdCancel, &QPushButton::clicked, this, &frmProgress::cmdCancel_Click);
}

void frmProgress::ShowModeless() {
    if (isVisible()) {
        raise();
        return;
    }
    show();
    // Placed once it is shown, when the size of its frame is known.
    if (!placed_) {
        CentreOnScreen();
        placed_ = true;
    }
}

void frmProgress::SetBar(double value) {
    if (!std::isfinite(value))
        return;
    pgb1->setValue(int(std::floor(ModMain::MinOf(100, std::max(0.0, value)))));
}

void frmProgress::Unload() {
    unloading_ = true;
    close();
}

void frmProgress::cmdCancel_Click() {
    ModMain::CancelRequested = -1;
}

void frmProgress::closeEvent(QCloseEvent* event) {
    if (unloading_) {
        event->accept();
        return;
    }
    event->ignore();
    cmdCancel_Click();
}

void frmProgress::CentreOnScreen() {
    QScreen* screen = parentWidget() != nullptr ? parentWidget()->screen() : nullptr;
    if (screen == nullptr)
        screen = QGuiApplication::primaryScreen();
    if (screen == nullptr)
        return;
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
}
