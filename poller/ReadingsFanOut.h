#pragma once
// "A reading was taken; hand it to everyone who wants it." Every front end hands its readings
// here: the command-line poller through the readings service, the window from its poll tick.
// Each reading is judged for plausibility against the device's earlier ones first, so every sink
// sees the same verdict, and the readings are counted by outcome.

#include "poller/Plausibility.h"
#include "poller/ReadingSink.h"

#include <QString>
#include <vector>

struct ReadingCounts {
    qint64 ok = 0;
    qint64 failed = 0;
    qint64 implausible = 0;
};

class ReadingsFanOut {
public:
    // The sink must outlive the fan-out or be removed first.
    void Add(ReadingSink* sink);
    void Remove(ReadingSink* sink);

    // Judges the row (of the device with this serial number) and hands it to every sink, in the
    // order they were added. Returns the reading as the sinks got it.
    Reading Hand(const ReadingsRow& row, const QString& serial);

    const ReadingCounts& Counts() const { return counts_; }

private:
    std::vector<ReadingSink*> sinks_;
    PlausibilityCheck check_;
    QString serial_; // of the device the check has seen
    ReadingCounts counts_;
};
