#include "poller/ReadingsFanOut.h"

#include <algorithm>

void ReadingsFanOut::Add(ReadingSink* sink) {
    if (sink && std::find(sinks_.begin(), sinks_.end(), sink) == sinks_.end())
        sinks_.push_back(sink);
}

void ReadingsFanOut::Remove(ReadingSink* sink) {
    sinks_.erase(std::remove(sinks_.begin(), sinks_.end(), sink), sinks_.end());
}

Reading ReadingsFanOut::Hand(const ReadingsRow& row, const QString& serial) {
    // Another device's counters say nothing about this one's.
    if (serial != serial_) {
        check_.Reset();
        serial_ = serial;
    }
    Reading reading{row, serial};
    reading.implausible = !check_.Plausible(row);
    if (row.state != ReadingsRow::Received)
        ++counts_.failed;
    else if (reading.implausible)
        ++counts_.implausible;
    else
        ++counts_.ok;
    // A copy: a sink may remove itself while being handed the reading.
    const std::vector<ReadingSink*> sinks = sinks_;
    for (ReadingSink* sink : sinks)
        sink->Take(reading);
    return reading;
}
