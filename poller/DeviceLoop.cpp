#include "poller/DeviceLoop.h"

#include "device/Kdr31Device.h"
#include "device_link/MSComm.h"

#include <algorithm>
#include <utility>

DeviceLoop::DeviceLoop(Kdr31Device& device, int portNumber)
    : device_(device), portNumber_(portNumber) {
    // Single shot, started again after each step: the next step is due one interval after the
    // start of the last, and a step that outlasts the interval is followed at once, never twice.
    stepTimer_.setSingleShot(true);
    connect(&stepTimer_, &QTimer::timeout, this, &DeviceLoop::Tick);
    reconnectTimer_.setSingleShot(true);
    connect(&reconnectTimer_, &QTimer::timeout, this, &DeviceLoop::TryReconnect);
    // The port noticed its other end going away between two steps.
    connect(&device_.Port(), &MSComm::PortLost, this, [this] {
        if (!busy_ && !lost_ && !ended_)
            Lose();
    });
}

int DeviceLoop::Run(const std::function<int()>& interval, const std::function<Step()>& step) {
    interval_ = interval;
    step_ = step;
    if (ended_)
        return stopCode_;
    found_ = device_.Connected();
    if (found_)
        stepTimer_.start(0);
    else
        QTimer::singleShot(0, this, [this] {
            if (!ended_)
                Lose(false);
        });
    return loop_.exec();
}

void DeviceLoop::Tick() {
    // The timer is single shot and armed only between steps, so a tick never falls inside a
    // step; this guards against one that was queued before the step began.
    if (busy_ || lost_ || ended_)
        return;
    busy_ = true;
    lastStep_.start();
    Step result = step_();
    busy_ = false;
    if (result == Step::Continue && !device_.Connected())
        result = Step::PortLost;
    const bool soon = std::exchange(soon_, false);
    switch (result) {
    case Step::Continue:
        if (!stop_)
            stepTimer_.start(soon ? 0
                                  : int(std::max<qint64>(0, interval_() - lastStep_.elapsed())));
        break;
    case Step::Done:
        // A sink that failed at the last reading (Stop during the step) keeps its code.
        return Finish(stop_ ? stopCode_ : 0);
    case Step::Failed:
        return Finish(1);
    case Step::PortLost:
        if (!stop_)
            Lose();
        break;
    }
    if (stop_)
        Finish(stopCode_);
}

void DeviceLoop::Stop(int exitCode) {
    if (!stop_)
        stopCode_ = exitCode;
    stop_ = true;
    if (!busy_)
        Finish(stopCode_);
}

void DeviceLoop::StepSoon() {
    if (ended_ || stop_ || lost_)
        return;
    if (busy_) {
        soon_ = true;
        return;
    }
    stepTimer_.start(0);
}

void DeviceLoop::Lose(bool announce) {
    lost_ = true;
    stepTimer_.stop();
    device_.Disconnect();
    backoff_.Reset();
    reconnectTimer_.start(backoff_.NextMs());
    if (announce)
        emit Lost();
}

void DeviceLoop::TryReconnect() {
    if (busy_ || ended_)
        return;
    busy_ = true;
    device_.Disconnect();
    const bool back = device_.Connect(portNumber_) == ConnectOutcome::Connected;
    busy_ = false;
    if (stop_)
        return Finish(stopCode_);
    if (!back) {
        device_.Disconnect();
        backoff_.Failed();
        reconnectTimer_.start(backoff_.NextMs());
        emit AttemptFailed();
        return;
    }
    lost_ = false;
    backoff_.Reset();
    emit Back(!found_);
    found_ = true;
    if (!ended_ && !stop_)
        Tick();
}

void DeviceLoop::Finish(int exitCode) {
    if (ended_)
        return;
    ended_ = true;
    stepTimer_.stop();
    reconnectTimer_.stop();
    loop_.exit(exitCode);
}
