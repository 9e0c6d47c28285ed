#pragma once
// Whether a reading can be true, judged against the same device's earlier ones. The meter's
// and the pulse inputs' counters only ever go up; a counter that drops, or a value that is not
// a finite number, comes from a garbled reply (two programs talking on one line), not from the
// meter. Such a reading is still shown as the device sent it, but no consumer may take it for a
// value: a counter that drops reads as a meter reset to anyone who sums energy.
//
// A meter that is really replaced starts again from a lower count. So when the lower counters
// hold for NewBaselineAfter readings in a row, the last of them is taken as the new baseline.

#include "readings/ReadingsTable.h"

#include <array>

class PlausibilityCheck {
public:
    static constexpr int NewBaselineAfter = 3;

    // Judges the row and remembers it for the next. A failed row is neither plausible nor
    // implausible: it carries no values, and returns true.
    bool Plausible(const ReadingsRow& row);
    // Forgets the device's earlier readings (another device was connected).
    void Reset();

private:
    struct Counters {
        std::array<float, ReadingsFieldCount> values{};
        std::uint16_t present = 0;
    };
    // True when a counter present in both is lower in next than in base, by more than the
    // float's step at base's value.
    static bool Lower(const Counters& next, const Counters& base);

    bool haveBaseline_ = false;
    Counters baseline_;  // the newest plausible reading's counters
    Counters candidate_; // the newest of a run of readings lower than the baseline
    int run_ = 0;        // readings in that run
};
