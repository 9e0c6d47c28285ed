#include "cli/DeviceLoop.h"

#include "cli/Console.h"
#include "cli/Interrupts.h"
#include "device/Kdr31Device.h"
#include "device_link/MSComm.h"

namespace {
// How often a lost device is looked for.
constexpr int ReconnectMs = 1000;
} // namespace

DeviceLoop::DeviceLoop(Kdr31Device& device, const PortChoice& port, Interrupts& interrupts)
    : device_(device), port_(port) {
    // Single shot, started again after each step: the next step is due one interval after the
    // start of the last, and a step that outlasts the interval is followed at once, never twice.
    stepTimer_.setSingleShot(true);
    connect(&stepTimer_, &QTimer::timeout, this, &DeviceLoop::Tick);
    reconnectTimer_.setInterval(ReconnectMs);
    connect(&reconnectTimer_, &QTimer::timeout, this, &DeviceLoop::TryReconnect);
    connect(&interrupts, &Interrupts::Interrupted, this, &DeviceLoop::Interrupt);
    // The port noticed its other end going away between two steps.
    connect(&device_.Port(), &MSComm::PortLost, this, [this] {
        if (!busy_ && !lost_)
            Lose();
    });
}

int DeviceLoop::Run(const std::function<int()>& interval, const std::function<Step()>& step) {
    interval_ = interval;
    step_ = step;
    stepTimer_.start(0);
    return loop_.exec();
}

void DeviceLoop::Tick() {
    // A tick that falls while a step still runs (steps hold a transaction) is skipped.
    if (busy_ || lost_ || ended_)
        return;
    busy_ = true;
    lastStep_.start();
    const Step result = step_();
    busy_ = false;
    switch (result) {
    case Step::Continue:
        stepTimer_.start(int(qMax<qint64>(0, interval_() - lastStep_.elapsed())));
        break;
    case Step::Done:
        return Finish(ExitOk);
    case Step::Failed:
        return Finish(ExitFailure);
    case Step::PortLost:
        Lose();
        break;
    }
    if (stop_)
        Finish(stopCode_);
}

void DeviceLoop::Stop(int exitCode) {
    if (busy_) {
        if (!stop_)
            stopCode_ = exitCode;
        stop_ = true;
    } else {
        Finish(exitCode);
    }
}

void DeviceLoop::Exclusive(const std::function<void()>& work) {
    const bool wasBusy = busy_;
    busy_ = true;
    work();
    busy_ = wasBusy;
    // Inside a step, the step's end does the rest.
    if (wasBusy || ended_)
        return;
    if (stop_)
        return Finish(stopCode_);
    if (!lost_ && !device_.Connected())
        return Lose();
    Reschedule();
}

void DeviceLoop::Reschedule() {
    // While a step runs, it schedules the next itself when it ends.
    if (busy_ || lost_ || ended_ || !stepTimer_.isActive())
        return;
    stepTimer_.start(int(qMax<qint64>(0, interval_() - lastStep_.elapsed())));
}

void DeviceLoop::Lose() {
    lost_ = true;
    stepTimer_.stop();
    device_.Disconnect();
    PrintError(QStringLiteral("lost the KDR31 on %1: check the cable; this goes on as soon as the "
                              "KDR31 is back (Ctrl-C stops)")
                   .arg(port_.Display()));
    reconnectTimer_.start();
    emit Lost();
}

void DeviceLoop::TryReconnect() {
    if (busy_ || ended_)
        return;
    busy_ = true;
    device_.Disconnect();
    const bool back = device_.Connect(port_.number) == ConnectOutcome::Connected;
    busy_ = false;
    if (stop_)
        return Finish(stopCode_);
    if (!back)
        return;
    lost_ = false;
    reconnectTimer_.stop();
    PrintError(QStringLiteral("the KDR31 is back on %1").arg(port_.Display()));
    emit Back();
    Tick();
}

void DeviceLoop::Interrupt() {
    Stop(ExitOk);
}

void DeviceLoop::Finish(int exitCode) {
    if (ended_)
        return;
    ended_ = true;
    stepTimer_.stop();
    reconnectTimer_.stop();
    loop_.exit(exitCode);
}
