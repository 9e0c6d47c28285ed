#pragma once
// The device's debug log as the tool keeps it: the bytes exactly as the device sent them, which
// is what a saved file holds, and the text a text box shows for them. A text box cannot be the
// record itself: carriage returns, NULs and other control bytes do not survive its document.
//
// Bytes are shown as Latin-1 characters: Latin-1 gives every byte 0-255 a character of its own,
// so no byte turns into a replacement character on the way to the screen.

#include <QByteArray>
#include <QDateTime>
#include <QLocale>
#include <QString>
#include <optional>

class DebugLog {
public:
    // Adds bytes to the end of the log and returns the text that shows them, to be appended to
    // what the view already shows for the bytes before them.
    QString Append(const QByteArray& bytes);
    void Clear() { bytes_.clear(); }

    const QByteArray& Bytes() const { return bytes_; }
    // What the view shows for the whole log.
    QString DisplayText() const;

private:
    QByteArray bytes_;
};

// The view's text for bytes: each byte as its Latin-1 character; CR LF, a lone CR and a lone LF
// each one line break; TAB as it is; every other control byte as its visible symbol (NUL as
// U+2400 and so on, DEL as U+2421). afterCarriageReturn says that the bytes shown before these
// ended in CR, so that a leading LF completes that line break instead of starting another.
QString DebugLogDisplayText(const QByteArray& bytes, bool afterCarriageReturn = false);

// What one read of the log asks of the window.
struct DebugLogReadOutcome {
    QByteArray text; // log text to append; empty for none
    QString message; // message to show; empty for none
};

// A debug log transaction's result turned into what the user sees: log text to append, the
// message for a device status code (one data byte 1, 2 or 3) or for a failed exchange, or
// nothing (any other single data byte, an unknown result code).
DebugLogReadOutcome InterpretDebugLogResult(const QByteArray& result);

// The file name offered when the log is saved: the caption, "-debuglog-", the date text, "-",
// the time text and ".txt", with every "/" and ":" taken out.
QString DebugLogDefaultName(const QString& caption, const QString& dateText,
                            const QString& timeText);
// The same at a moment in the user's formats: the short date, and the time with seconds and
// without a time zone (as the readings grid shows it).
QString DebugLogDefaultName(const QString& caption, const QDateTime& when, const QLocale& locale);

// Writes the log's bytes followed by CR LF to path, replacing the whole of any earlier file
// (which stays as it was when the new one cannot be written, also where no temporary file can be
// made beside it). Returns why the file could not be written, or nothing when it was.
std::optional<QString> WriteDebugLogFile(const QString& path, const QByteArray& log);

// The message for a log that could not be saved: the file and the reason.
QString DebugLogSaveFailedText(const QString& path, const QString& reason);
