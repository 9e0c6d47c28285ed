#pragma once
// How long the window thread keeps events waiting. A second thread posts a call to the window
// thread every 10 ms (as a screen reader's request or a queued signal arrives), and a 10 ms timer
// ticks on the window thread; the probe records how long each posted call waited before it ran
// and how late each tick came.

#include <QObject>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

class LatencyProbe {
public:
    LatencyProbe() {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, &receiver_, [this] {
            const auto now = Clock::now();
            if (lastTick_ != Clock::time_point{})
                timerLate_.push_back(Ms(now - lastTick_) - 10.0);
            lastTick_ = now;
        });
        timer_.start();
        poster_ = std::thread([this] {
            while (!stop_) {
                const auto posted = Clock::now();
                QMetaObject::invokeMethod(
                    &receiver_, [this, posted] { posted_.push_back(Ms(Clock::now() - posted)); },
                    Qt::QueuedConnection);
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }
    ~LatencyProbe() { Stop(); }

    void Stop() {
        if (stop_.exchange(true))
            return;
        poster_.join();
        timer_.stop();
    }

    // "posted call: median 0.1 ms, 95th percentile 0.3 ms, max 1.2 ms (n)".
    void Print(const char* during) {
        Stop();
        Report(during, "posted call waited", posted_);
        Report(during, "timer tick late", timerLate_);
    }
    double Percentile(bool posted, double p) const {
        std::vector<double> v = posted ? posted_ : timerLate_;
        if (v.empty())
            return 0;
        std::sort(v.begin(), v.end());
        return v[std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1) + 0.5))];
    }

private:
    using Clock = std::chrono::steady_clock;
    static double Ms(Clock::duration d) {
        return std::chrono::duration<double, std::milli>(d).count();
    }
    static void Report(const char* during, const char* what, std::vector<double> v) {
        if (v.empty())
            return;
        std::sort(v.begin(), v.end());
        const auto at = [&v](double p) {
            return v[std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1) + 0.5))];
        };
        std::printf("%s: %s median %.2f ms, 95th percentile %.2f ms, max %.2f ms (%zu samples)\n",
                    during, what, at(0.5), at(0.95), v.back(), v.size());
    }

    QObject receiver_;
    QTimer timer_;
    std::thread poster_;
    std::atomic<bool> stop_{false};
    Clock::time_point lastTick_{};
    std::vector<double> posted_;
    std::vector<double> timerLate_;
};
