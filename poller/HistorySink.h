#pragma once
// The history as a sink: every reading handed to the recorder, which writes it on its own
// thread (see HistoryRecorder).

#include "history/HistoryRecorder.h"
#include "poller/ReadingSink.h"

class HistorySink : public ReadingSink {
public:
    explicit HistorySink(HistoryRecorder& recorder) : recorder_(recorder) {}
    void Take(const Reading& reading) override { recorder_.Record(reading); }
    HistoryRecorder& Recorder() { return recorder_; }

private:
    HistoryRecorder& recorder_;
};
