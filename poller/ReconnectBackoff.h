#pragma once
// How often a device that went away is looked for: 1 s after it went, then twice as long after
// every attempt that did not find it, up to 30 s. A device away for hours costs an attempt every
// half minute; a replugged cable is found within a second or two. The command-line poller and the
// window look for a lost device by this one schedule, each with a timer of its own.

#include <algorithm>

class ReconnectBackoff {
public:
    static constexpr int FirstMs = 1000;
    static constexpr int MaxMs = 30000;

    // Milliseconds until the next attempt.
    int NextMs() const { return nextMs_; }
    // An attempt found nothing: wait longer before the next.
    void Failed() { nextMs_ = std::min(nextMs_ * 2, MaxMs); }
    // The device went away just now, or came back: start from the shortest wait.
    void Reset() { nextMs_ = FirstMs; }

private:
    int nextMs_ = FirstMs;
};
