#pragma once
// The time base of every deadline: seconds on a monotonic clock. Unlike the time of day it never
// jumps or wraps at midnight, so no wait ends early and no transaction fails because it started
// in the first second of a day.

#include <chrono>

inline double Timer() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}
