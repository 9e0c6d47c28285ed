// The debug view: reading the device's debug log into the text box, emptying it, leaving the
// view, and saving the log to a text file that then opens in a text editor.

#include "debug_log/DebugLog.h"
#include "main_window/frmKDR31.h"

#include <QDateTime>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <QTimer>

void frmKDR31::cmdDebug_Click() {
    timScan->stop();
    fraDebug->raise();
    fraDebug->show();
}

void frmKDR31::cmdReadDebugLog_Click() {
    const DebugLogReadOutcome outcome = device_->ReadDebugLog();
    if (!outcome.text.isEmpty()) {
        // Appended where the text ends, and kept in view.
        txtDebugLog->moveCursor(QTextCursor::End);
        txtDebugLog->insertPlainText(debugLog_.Append(outcome.text));
        txtDebugLog->ensureCursorVisible();
    }
    if (!outcome.message.isEmpty())
        dialogs_->MsgBox(outcome.message);
}

void frmKDR31::cmldClear_Click() {
    debugLog_.Clear();
    txtDebugLog->clear();
}

void frmKDR31::cmdStopDebugLog_Click() {
    fraDebug->hide();
    timScan->start();
}

void frmKDR31::cmdSaveDebugLog_Click() {
    const QString defaultName =
        DebugLogDefaultName(windowTitle(), QDateTime::currentDateTime(), QLocale::system());
    SaveDialogRequest request;
    request.title = QStringLiteral("*.txt");
    request.filter = QStringLiteral("text files (*.txt)|*.txt");
    request.defaultExtension = QStringLiteral("txt");
    request.initialName = defaultName;
    request.overwritePrompt = true;
    const std::optional<QString> chosen = dialogs_->ShowSave(request);
    if (!chosen || chosen->isEmpty())
        return;
    // A log that was not written is reported, and no editor opens on a file that does not hold
    // it (it may not exist, or hold an older log of the same name).
    if (const std::optional<QString> failure = WriteDebugLogFile(*chosen, debugLog_.Bytes())) {
        dialogs_->MsgBox(DebugLogSaveFailedText(*chosen, *failure));
        return;
    }
    // Whether an editor could be started is not reported: the file is saved either way.
    dialogs_->StartEditor(*chosen);
}
