#pragma once
// A step against the KDR31 now and then at an interval, until it is stopped: the readings poll
// and the followed debug log. A port that goes away (a pulled cable) ends the steps until the
// device identifies itself again; the loop then goes on by itself. The loop can also start
// without a device (one that is late at boot) and wait for it the same way.
//
// Attempts to find the device again follow ReconnectBackoff: 1 s doubling up to MaxBackoffMs, so a
// device that is away for hours costs next to nothing; a replugged cable is found within a second
// or two.
// Stop ends the loop after the step or attempt in progress, so nothing read is lost.

#include "poller/ReconnectBackoff.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QTimer>
#include <functional>

class Kdr31Device;

class DeviceLoop : public QObject {
    Q_OBJECT
public:
    static constexpr int FirstBackoffMs = ReconnectBackoff::FirstMs;
    static constexpr int MaxBackoffMs = ReconnectBackoff::MaxMs;

    enum class Step {
        Continue, // wait for the next interval
        Done,     // end with code 0
        PortLost, // the port went away during the step; nothing of it was handed on
        Failed,   // end with code 1 (the step said why)
    };

    // portNumber: what Connect is given to find the device again (a device path override set on
    // the device stays in force).
    DeviceLoop(Kdr31Device& device, int portNumber);

    // Runs step at once and then every interval() milliseconds, start to start, until it ends;
    // returns the exit code. A device that is not connected at the start is waited for.
    int Run(const std::function<int()>& interval, const std::function<Step()>& step);

    // Ends the loop with exitCode, after the step in progress. The first code given wins.
    void Stop(int exitCode);
    // The next step is wanted now rather than at the interval: at once when the loop waits
    // between two steps, straight after the step in progress otherwise. The interval counts from
    // that step's start. Nothing while the device is lost: the step follows its return.
    void StepSoon();
    // From within a step: the interval to the next step counts from now, not from the step's
    // start (the step waited for a long job before its reading).
    void CountIntervalFromNow() { lastStep_.start(); }
    bool DeviceLost() const { return lost_; }
    bool Stopping() const { return stop_ || ended_; }
    // Milliseconds until the next attempt to find the device (while lost).
    int NextAttemptMs() const { return backoff_.NextMs(); }

signals:
    // The device went away, and came back (first: it was not there at the start).
    void Lost();
    void Back(bool first);
    // An attempt to find the device failed; the next follows in NextAttemptMs().
    void AttemptFailed();

private:
    void Tick();
    void Lose(bool announce = true);
    void TryReconnect();
    void Finish(int exitCode);

    Kdr31Device& device_;
    int portNumber_;
    std::function<int()> interval_;
    std::function<Step()> step_;
    QEventLoop loop_;
    QTimer stepTimer_;
    QTimer reconnectTimer_;
    QElapsedTimer lastStep_; // since the start of the last step
    ReconnectBackoff backoff_;
    bool busy_ = false;  // a step or a connect attempt is running
    bool lost_ = false;  // waiting for the device
    bool found_ = false; // the device answered once
    bool stop_ = false;  // Stop came while busy
    bool soon_ = false;  // StepSoon came while busy
    int stopCode_ = 0;
    bool ended_ = false; // Finish has run
};
