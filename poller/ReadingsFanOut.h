#pragma once
// "A reading was taken; hand it to everyone who wants it." Every front end hands its readings
// here: the command-line poller through the readings service, the window from its poll tick.
// Each reading is judged for plausibility against the device's earlier ones first, so every sink
// sees the same verdict, and the readings are counted by outcome. Then the capacity tariff's
// figures are worked out once for the reading (LiveCapacity) and handed on with it
// (Reading::capacity), so every sink shows the same quarter-hour, threshold and warning.

#include "history/LiveCapacity.h"
#include "poller/Plausibility.h"
#include "poller/ReadingSink.h"

#include <QString>
#include <QTimeZone>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

struct ReadingCounts {
    qint64 ok = 0;
    qint64 failed = 0;
    qint64 implausible = 0;
};

class ReadingsFanOut {
public:
    // Quarter-hours and months follow the local clock of this zone.
    explicit ReadingsFanOut(const QTimeZone& zone = QTimeZone::systemTimeZone());

    // The sink must outlive the fan-out or be removed first.
    void Add(ReadingSink* sink);
    void Remove(ReadingSink* sink);

    // Judges the row (of the device with this serial number), works out the capacity figures
    // and hands it to every sink, in the order they were added. Returns the reading as the sinks
    // got it.
    Reading Hand(const ReadingsRow& row, const QString& serial);

    const ReadingCounts& Counts() const { return counts_; }

    // The household's target and price; from the next reading on.
    void SetCapacityOptions(const CapacityOptions& options) { capacity_.SetOptions(options); }
    // Where the capacity figures take up from (the history): asked at the first reading, and
    // again when another device's readings begin, with that device's serial number and the
    // reading's time. Without one, or when it gives nothing, they start from that reading.
    using CapacitySeeder =
        std::function<std::optional<CapacitySeed>(const QString& serial, qint64 now)>;
    void SetCapacitySeeder(CapacitySeeder seeder) { seeder_ = std::move(seeder); }
    // The same for a front end whose thread must not wait for the history (the window, where a
    // year's history takes a while to read): the seed is asked for with a number, when the seeder
    // would be asked, read elsewhere and handed back with SeedCapacity on the fan-out's thread.
    // Until then the figures start from the readings; once it is there they start again from it
    // and take once more the readings handed meanwhile (the newest SeedBacklog of them).
    using CapacitySeedRequest =
        std::function<void(quint64 request, const QString& serial, qint64 now)>;
    void SetCapacitySeedRequest(CapacitySeedRequest request) { seedRequest_ = std::move(request); }
    // The seed of that request (nothing: the history had none). One of an older request, asked
    // before another device's readings began, is dropped. Returns whether it was taken.
    bool SeedCapacity(quint64 request, const std::optional<CapacitySeed>& seed);
    static constexpr size_t SeedBacklog = 4096; // over five hours at 5 s
    // The figures of the newest reading; null before the first. A warning's start and end are
    // in them (warningStarted, warningEnded) at the reading that brought it.
    std::shared_ptr<const CapacityNow> Capacity() const { return latest_; }

private:
    std::vector<ReadingSink*> sinks_;
    PlausibilityCheck check_;
    QString serial_; // of the device the check has seen
    ReadingCounts counts_;
    LiveCapacity capacity_;
    CapacitySeeder seeder_;
    CapacitySeedRequest seedRequest_;
    quint64 seedAsked_ = 0;           // the number of the newest request
    bool awaitingSeed_ = false;       // its seed has not come yet
    std::vector<Reading> sinceAsked_; // the readings handed meanwhile, without their figures
    bool seeded_ = false;             // for serial_
    std::shared_ptr<const CapacityNow> latest_;
};
