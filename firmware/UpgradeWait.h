#pragma once
// The timed waits of the firmware upgrade. A wait runs the event loop, so the windows stay
// responsive and the Cancel button is heard, but it sleeps in between: it wakes only at its
// deadline, at its ticks, when told that its condition may have come true, or when it is
// aborted. It never spins on processEvents().

#include <QObject>
#include <functional>

class QEventLoop;

class UpgradeWait : public QObject {
    Q_OBJECT
public:
    enum class End {
        Deadline,  // Timer() reached the deadline
        Condition, // the condition came true
        Aborted,   // Abort() was called, or the application is quitting
    };

    explicit UpgradeWait(QObject* parent = nullptr);

    // Runs the event loop until Timer() is at or past deadline (monotonic seconds), done()
    // returns true, or the wait is aborted. tick runs at the start and then every tickSeconds;
    // done is tested at the start, after each tick and after each Wake(). Both may be empty.
    End Until(double deadline, const std::function<bool()>& done = {},
              const std::function<void()>& tick = {}, double tickSeconds = 0);

    // A running wait tests its condition now. Connect the signals that may fulfil it here.
    void Wake();
    // Ends a running wait, and every later one at once, until Reset().
    void Abort();
    void Reset() { aborted_ = false; }
    bool Aborted() const { return aborted_; }

private:
    struct Running {
        QEventLoop* loop = nullptr;
        bool endedByUs = false;
    };

    void Quit();

    Running* running_ = nullptr; // the innermost wait in progress
    bool aborted_ = false;
};
