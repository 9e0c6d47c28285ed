#pragma once
// The firmware upgrade's progress, question and messages on a terminal or in a log. On a
// terminal standard error carries one line that is redrawn: a bar, the block k/N and the time
// left. Elsewhere (a pipe, a file) each new step is a plain line. The question is asked on the
// terminal unless --yes answered it beforehand; Ctrl-C is the progress window's Cancel button.

#include "cli/CliOptions.h"
#include "device/FirmwareUpgrade.h"

#include <QElapsedTimer>
#include <QString>

class Interrupts;
class Kdr31Device;

class TerminalUpgrade : public UpgradeFrontEnd {
public:
    TerminalUpgrade(Kdr31Device& device, const PortChoice& port, const FirmwareUpgrade& upgrade,
                    Interrupts& interrupts, bool assumeYes, bool drawBar);

    void ShowProgress(const QString& caption) override;
    void SetProgressText(const QString& text) override;
    void SetProgressBar(double value) override;
    void CloseProgress() override;
    bool AskYesNo(const QString& question) override;
    void Message(const QString& text) override;
    void TakeUserInput() override;
    void StopPoll() override {}
    void ResumePoll() override {}
    void Reconnect() override;

    // Who answered the question beforehand, as the line says after "yes": "--yes" unless set.
    void SetAnsweredBy(const QString& who) { answeredBy_ = who; }

    // The bar's line: "[#####     ]  42%  Sending block 27/63  0:12 left".
    static QString BarLine(double bar, const QString& label, int secondsLeft);

private:
    void Draw();
    void EndLine();
    int SecondsLeft();

    Kdr31Device& device_;
    PortChoice port_;
    const FirmwareUpgrade& upgrade_;
    Interrupts& interrupts_;
    bool assumeYes_;
    bool drawBar_;
    QString answeredBy_ = QStringLiteral("--yes");
    QString label_;
    double bar_ = 0;
    QString drawn_;             // the bar line on the terminal now; empty for none
    QString lastPrinted_;       // the last plain line
    QElapsedTimer blocksTimer_; // from the first block shown
    int firstBlock_ = 0;
};
