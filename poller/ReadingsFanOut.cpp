#include "poller/ReadingsFanOut.h"

#include <algorithm>

ReadingsFanOut::ReadingsFanOut(const QTimeZone& zone) : capacity_(zone) {}

void ReadingsFanOut::Add(ReadingSink* sink) {
    if (sink && std::find(sinks_.begin(), sinks_.end(), sink) == sinks_.end())
        sinks_.push_back(sink);
}

void ReadingsFanOut::Remove(ReadingSink* sink) {
    sinks_.erase(std::remove(sinks_.begin(), sinks_.end(), sink), sinks_.end());
}

Reading ReadingsFanOut::Hand(const ReadingsRow& row, const QString& serial) {
    // Another device's counters say nothing about this one's: a counter that jumped to another
    // meter's would read as a quarter-hour of enormous power.
    if (serial != serial_) {
        check_.Reset();
        serial_ = serial;
        seeded_ = false;
    }
    if (!seeded_) {
        seeded_ = true;
        capacity_.Reset();
        if (seeder_)
            if (const std::optional<CapacitySeed> seed = seeder_(serial, row.time))
                capacity_.Seed(*seed);
    }
    Reading reading{row, serial};
    reading.implausible = !check_.Plausible(row);
    if (row.state != ReadingsRow::Received)
        ++counts_.failed;
    else if (reading.implausible)
        ++counts_.implausible;
    else
        ++counts_.ok;
    latest_ = std::make_shared<const CapacityNow>(capacity_.Update(reading));
    reading.capacity = latest_;
    // A copy: a sink may remove itself while being handed the reading.
    const std::vector<ReadingSink*> sinks = sinks_;
    for (ReadingSink* sink : sinks)
        sink->Take(reading);
    return reading;
}
