#pragma once
// The one seam between the tool and the modal boxes and file dialog the user answers. Every
// message box, the Yes/No question, the save dialog and the start of the text editor go through
// it, so tests can answer and record them.

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <optional>

struct SaveDialogRequest {
    QString title;            // window title of the dialog
    QString filter;           // "description|pattern", one entry
    QString defaultExtension; // added when the user types a name without one
    QString initialName;
    bool overwritePrompt = true;
};

// The period of the history to export.
struct PeriodRequest {
    QString title;
    QDateTime from; // proposed
    QDateTime to;
    QStringList serials; // devices in the history
    QString serial;      // proposed; empty: all devices
};
struct PeriodChoice {
    QDateTime from;
    QDateTime to;
    std::optional<QString> serial; // nothing: all devices
};

class Dialogs {
public:
    virtual ~Dialogs() = default;
    // Modal box with an OK button, no icon, the application's title.
    virtual void MsgBox(const QString& text) = 0;
    // Modal box with Yes (the default) and No; true when the user answered Yes.
    virtual bool AskYesNo(const QString& text) = 0;
    // Save-file dialog; no value when the user cancelled.
    virtual std::optional<QString> ShowSave(const SaveDialogRequest& request) = 0;
    // Asks for a period and a device; no value when the user cancelled.
    virtual std::optional<PeriodChoice> ChoosePeriod(const PeriodRequest& request) = 0;
    // Opens the file in a text editor without waiting for it; false when nothing could be
    // started.
    virtual bool StartEditor(const QString& path) = 0;
};

// The real boxes and dialog of the desktop.
class QtDialogs : public Dialogs {
public:
    void MsgBox(const QString& text) override;
    bool AskYesNo(const QString& text) override;
    std::optional<QString> ShowSave(const SaveDialogRequest& request) override;
    std::optional<PeriodChoice> ChoosePeriod(const PeriodRequest& request) override;
    bool StartEditor(const QString& path) override;
};
