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
        awaitingSeed_ = false;
        sinceAsked_.clear();
        if (seedRequest_) {
            awaitingSeed_ = true;
            seedRequest_(++seedAsked_, serial, row.time);
        } else if (seeder_) {
            if (const std::optional<CapacitySeed> seed = seeder_(serial, row.time))
                capacity_.Seed(*seed);
        }
    }
    Reading reading{row, serial};
    reading.implausible = !check_.Plausible(row);
    if (row.state != ReadingsRow::Received)
        ++counts_.failed;
    else if (reading.implausible)
        ++counts_.implausible;
    else
        ++counts_.ok;
    if (awaitingSeed_) {
        if (sinceAsked_.size() >= SeedBacklog)
            sinceAsked_.erase(sinceAsked_.begin(), sinceAsked_.begin() + SeedBacklog / 4);
        sinceAsked_.push_back(reading);
    }
    latest_ = std::make_shared<const CapacityNow>(capacity_.Update(reading));
    reading.capacity = latest_;
    // A copy: a sink may remove itself while being handed the reading.
    const std::vector<ReadingSink*> sinks = sinks_;
    for (ReadingSink* sink : sinks)
        sink->Take(reading);
    return reading;
}

bool ReadingsFanOut::SeedCapacity(quint64 request, const std::optional<CapacitySeed>& seed) {
    if (request != seedAsked_ || !awaitingSeed_)
        return false;
    awaitingSeed_ = false;
    std::vector<Reading> meanwhile;
    meanwhile.swap(sinceAsked_);
    if (!seed)
        return true;
    capacity_.Seed(*seed);
    // The seed's quarter runs to the reading that asked for it; those since carry it on.
    for (const Reading& reading : meanwhile)
        latest_ = std::make_shared<const CapacityNow>(capacity_.Update(reading));
    return true;
}
