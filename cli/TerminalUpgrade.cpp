#include "cli/TerminalUpgrade.h"

#include "cli/Console.h"
#include "cli/Interrupts.h"
#include "device/Kdr31Device.h"

#include <QCoreApplication>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <poll.h>
#include <unistd.h>

namespace {
constexpr int BarWidth = 30;
} // namespace

TerminalUpgrade::TerminalUpgrade(Kdr31Device& device, const PortChoice& port,
                                 const FirmwareUpgrade& upgrade, Interrupts& interrupts,
                                 bool assumeYes, bool drawBar)
    : device_(device), port_(port), upgrade_(upgrade), interrupts_(interrupts),
      assumeYes_(assumeYes), drawBar_(drawBar) {}

void TerminalUpgrade::ShowProgress(const QString& caption) {
    if (!drawBar_ && lastPrinted_.isEmpty()) {
        WriteErr(caption + QLatin1Char('\n'));
        lastPrinted_ = caption;
    }
}

void TerminalUpgrade::SetProgressText(const QString& text) {
    if (text == label_)
        return;
    label_ = text;
    if (drawBar_) {
        Draw();
    } else if (text != lastPrinted_) {
        WriteErr(text + QLatin1Char('\n'));
        lastPrinted_ = text;
    }
}

void TerminalUpgrade::SetProgressBar(double value) {
    bar_ = value;
    if (drawBar_)
        Draw();
}

void TerminalUpgrade::CloseProgress() {
    EndLine();
}

QString TerminalUpgrade::BarLine(double bar, const QString& label, int secondsLeft) {
    const double clamped = std::clamp(bar, 0.0, 100.0);
    const int filled = int(std::lround(clamped / 100 * BarWidth));
    QString line = QLatin1Char('[') + QString(filled, QLatin1Char('#')) +
                   QString(BarWidth - filled, QLatin1Char(' ')) + QStringLiteral("] ") +
                   QStringLiteral("%1%").arg(int(clamped), 3) + QStringLiteral("  ") + label;
    if (secondsLeft >= 0)
        line += QStringLiteral("  %1:%2 left")
                    .arg(secondsLeft / 60)
                    .arg(secondsLeft % 60, 2, 10, QLatin1Char('0'));
    return line;
}

int TerminalUpgrade::SecondsLeft() {
    switch (upgrade_.Phase()) {
    case UpgradePhase::SendingBlocks: {
        const int done = upgrade_.NextBlock();
        const int count = upgrade_.BlockCount();
        if (!blocksTimer_.isValid()) {
            blocksTimer_.start();
            firstBlock_ = done;
        }
        if (done <= firstBlock_ || count <= 0)
            return -1;
        const double perBlock = blocksTimer_.elapsed() / 1000.0 / (done - firstBlock_);
        return int(std::ceil(perBlock * (count - done) + RebootSeconds));
    }
    case UpgradePhase::Finishing:
        return int(RebootSeconds);
    case UpgradePhase::Rebooting:
        return int(std::ceil((100 - std::clamp(bar_, 0.0, 100.0)) / 100 * RebootSeconds));
    default:
        return -1;
    }
}

void TerminalUpgrade::Draw() {
    const QString line = BarLine(bar_, label_, SecondsLeft());
    if (line == drawn_)
        return;
    WriteErr(QStringLiteral("\r\033[K") + line);
    drawn_ = line;
}

void TerminalUpgrade::EndLine() {
    if (drawn_.isEmpty())
        return;
    WriteErr(QStringLiteral("\n"));
    drawn_.clear();
}

bool TerminalUpgrade::AskYesNo(const QString& question) {
    EndLine();
    if (assumeYes_) {
        WriteErr(question + QStringLiteral("? yes (%1)\n").arg(answeredBy_));
        return true;
    }
    WriteErr(question + QStringLiteral("? [y/N] "));
    // Waits for a line on the terminal or for Ctrl-C, whichever comes first.
    QByteArray answer;
    const int interruptsBefore = interrupts_.Count();
    for (;;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {interrupts_.WakeFd(), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents != 0 || interrupts_.Count() != interruptsBefore) {
            WriteErr(QStringLiteral("\n"));
            return false;
        }
        char c = 0;
        if (read(STDIN_FILENO, &c, 1) != 1 || c == '\n')
            break;
        answer += c;
    }
    const QString text = QString::fromLocal8Bit(answer).trimmed().toLower();
    return text == QLatin1String("y") || text == QLatin1String("yes");
}

void TerminalUpgrade::Message(const QString& text) {
    EndLine();
    PrintError(text);
}

void TerminalUpgrade::TakeUserInput() {
    // Ctrl-C reaches the program through the event loop.
    QCoreApplication::processEvents();
}

void TerminalUpgrade::Reconnect() {
    EndLine();
    device_.Disconnect();
    device_.Connect(port_.number);
}
