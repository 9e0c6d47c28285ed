#include "firmware/UpgradeWait.h"

#include "device_link/Clock.h"

#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <cmath>

UpgradeWait::UpgradeWait(QObject* parent) : QObject(parent) {}

UpgradeWait::End UpgradeWait::Until(double deadline, const std::function<bool()>& done,
                                    const std::function<void()>& tick, double tickSeconds) {
    const bool ticking = tick && tickSeconds > 0;
    double nextTick = Timer();
    for (;;) {
        if (aborted_)
            return End::Aborted;
        const double now = Timer();
        if (tick && now >= nextTick) {
            tick();
            nextTick = ticking ? std::max(nextTick + tickSeconds, now) : deadline;
        }
        if (done && done())
            return End::Condition;
        if (now >= deadline)
            return End::Deadline;

        const double wakeAt = ticking ? std::min(deadline, nextTick) : deadline;
        QEventLoop loop;
        Running running{&loop, false};
        QTimer timer;
        timer.setSingleShot(true);
        timer.setTimerType(Qt::PreciseTimer);
        connect(&timer, &QTimer::timeout, &loop, [&running] {
            running.endedByUs = true;
            running.loop->quit();
        });
        // Rounded up, so that the deadline has passed when the timer fires.
        const double milliseconds = std::ceil(std::max(0.0, wakeAt - Timer()) * 1000.0);
        timer.start(int(std::min(milliseconds, 24.0 * 3600 * 1000)));

        Running* outer = running_;
        running_ = &running;
        loop.exec();
        running_ = outer;
        // Only the application quitting ends the loop otherwise; every event loop started from
        // then on would return at once, so waiting on would spin.
        if (!running.endedByUs)
            aborted_ = true;
    }
}

void UpgradeWait::Quit() {
    if (running_ == nullptr)
        return;
    running_->endedByUs = true;
    running_->loop->quit();
}

void UpgradeWait::Wake() {
    Quit();
}

void UpgradeWait::Abort() {
    aborted_ = true;
    Quit();
}
