#pragma once
// A step against the KDR31 now and then at an interval, until the user stops it: the readings
// poll and the followed debug log. A port that goes away (a pulled cable) is reported once on
// standard error, and the loop connects again as soon as the device is back. Ctrl-C ends the
// loop after the step in progress, so every line that was read is written.

#include "cli/CliOptions.h"

#include <QElapsedTimer>
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

    // Ends the loop with exitCode, after the step in progress (a broker that refused us).
    void Stop(int exitCode);
    // The interval changed (new settings): the next step is due one new interval after the
    // start of the last.
    void Reschedule();
    // Runs work against the device at once, outside the steps: no step or reconnection starts
    // while it runs (a transaction's wait runs the event loop). A device that no longer answers
    // afterwards is lost, as in a step. Settings from the broker come this way.
    void Exclusive(const std::function<void()>& work);
    // Waiting for the device to come back.
    bool DeviceLost() const { return lost_; }

signals:
    // The device went away (reported on standard error), and came back.
    void Lost();
    void Back();

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
    QElapsedTimer lastStep_; // since the start of the last step
    bool busy_ = false;      // a step or a connect attempt is running
    bool lost_ = false;      // waiting for the device to come back
    bool stop_ = false;      // Ctrl-C (or Stop) came while busy
    int stopCode_ = 0;
    bool ended_ = false; // Finish has run
};
