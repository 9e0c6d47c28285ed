#pragma once
// The history as a sink: every reading handed to the recorder, which writes it on its own
// thread (see HistoryRecorder).

#include "history/HistoryRecorder.h"
#include "poller/ReadingSink.h"

class HistorySink : public ReadingSink {
public:
    explicit HistorySink(HistoryRecorder& recorder) : recorder_(recorder) {}
    void Take(const Reading& reading) override {
        // The history keeps the reading, not the figures worked out from it: a queue that waits
        // for a locked database holds days of readings, and should not hold their figures too.
        Reading recorded = reading;
        recorded.capacity.reset();
        recorder_.Record(recorded);
    }
    HistoryRecorder& Recorder() { return recorder_; }

private:
    HistoryRecorder& recorder_;
};
