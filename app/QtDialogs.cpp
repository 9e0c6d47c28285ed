#include "app/Dialogs.h"
#include "main_window/WindowTitles.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
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

bool QtDialogs::StartEditor(const QString& path) {
#ifdef Q_OS_WIN
    // notepad.exe with the path as its one argument: no shell, so no quoting problems.
    return QProcess::startDetached(QStringLiteral("notepad.exe"), {path});
#else
    return QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()));
#endif
}
