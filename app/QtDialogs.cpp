#include "app/Dialogs.h"
#include "main_window/WindowTitles.h"

#include <QApplication>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QMessageBox>
#include <QProcess>
#include <QUrl>

namespace {

QWidget* BoxParent() {
    if (QWidget* modal = QApplication::activeModalWidget())
        return modal;
    return QApplication::activeWindow();
}

} // namespace

void QtDialogs::MsgBox(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, ApplicationTitle(), text, QMessageBox::Ok, BoxParent());
    // Texts may carry names from elsewhere (a device path, another program's name): never markup.
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

bool QtDialogs::AskYesNo(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, ApplicationTitle(), text,
                    QMessageBox::Yes | QMessageBox::No, BoxParent());
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

std::optional<QString> QtDialogs::ShowSave(const SaveDialogRequest& request) {
    // The filter comes as "description|pattern"; Qt wants "description".
    const QString description = request.filter.section(QLatin1Char('|'), 0, 0);
    QFileDialog dialog(BoxParent(), request.title);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(description);
    dialog.setDefaultSuffix(request.defaultExtension);
    dialog.selectFile(request.initialName);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, !request.overwritePrompt);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().constFirst();
}

std::optional<PeriodChoice> QtDialogs::ChoosePeriod(const PeriodRequest& request) {
    QDialog dialog(BoxParent());
    dialog.setWindowTitle(request.title);
    auto* form = new QFormLayout(&dialog);
    auto* from = new QDateTimeEdit(request.from, &dialog);
    auto* to = new QDateTimeEdit(request.to, &dialog);
    for (QDateTimeEdit* edit : {from, to}) {
        edit->setCalendarPopup(true);
        edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd HH:mm"));
    }
    auto* device = new QComboBox(&dialog);
    device->addItem(QStringLiteral("All devices"));
    for (const QString& serial : request.serials)
        device->addItem(serial.isEmpty() ? QStringLiteral("(no serial number)") : serial, serial);
    const int proposed = request.serial.isEmpty() ? -1 : request.serials.indexOf(request.serial);
    device->setCurrentIndex(proposed + 1);
    form->addRow(QStringLiteral("From:"), from);
    form->addRow(QStringLiteral("To:"), to);
    form->addRow(QStringLiteral("Device:"), device);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    form->addRow(buttons);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    PeriodChoice choice{from->dateTime(), to->dateTime(), std::nullopt};
    if (device->currentIndex() > 0)
        choice.serial = device->currentData().toString();
    return choice;
}

bool QtDialogs::StartEditor(const QString& path) {
#ifdef Q_OS_WIN
    // notepad.exe with the path as its one argument: no shell, so no quoting problems.
    return QProcess::startDetached(QStringLiteral("notepad.exe"), {path});
#else
    return QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()));
#endif
}
