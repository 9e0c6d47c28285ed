#pragma once
// A step against the KDR31 now and then at an interval, until the user stops it: the readings
// poll and the followed debug log. A port that goes away (a pulled cable) is reported once on
// standard error, and the loop connects again as soon as the device is back. Ctrl-C ends the
// loop after the step in progress, so every line that was read is written.

#include "cli/CliOptions.h"

#include <QEventLoop>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>

class Interrupts;
class Kdr31Device;

class DeviceLoop : public QObject {
    Q_OBJECT
public:
    enum class Step {
        Continue, // wait for the next interval
        Done,     // end with ExitOk
        PortLost, // the port went away during the step; nothing of it was written
        Failed,   // end with ExitFailure (the step said why)
    };

    // The device must be connected.
    DeviceLoop(Kdr31Device& device, const PortChoice& port, Interrupts& interrupts);

    // Runs step at once and then every interval() milliseconds, start to start (asked again after
    // every reconnection) until it ends; returns the exit code.
    int Run(const std::function<int()>& interval, const std::function<Step()>& step);

private:
    void Tick();
    void Lose();
    void TryReconnect();
    void Interrupt();
    void Finish(int exitCode);

    Kdr31Device& device_;
    PortChoice port_;
    std::function<int()> interval_;
    std::function<Step()> step_;
    QEventLoop loop_;
    QTimer stepTimer_;
    QTimer reconnectTimer_;
    bool busy_ = false;  // a step or a connect attempt is running
    bool lost_ = false;  // waiting for the device to come back
    bool stop_ = false;  // Ctrl-C came while busy
    bool ended_ = false; // Finish has run
};
