#include "poller/Plausibility.h"

#include <cmath>
#include <limits>

namespace {

// The fields that count up for ever: energy in and out on both tariffs, gas, and the two pulse
// inputs. Powers, the tariff and the differences go up and down.
constexpr int CounterFields[] = {1, 2, 5, 6, 8, 11, 12};

} // namespace

bool PlausibilityCheck::Lower(const Counters& next, const Counters& base) {
    for (const int field : CounterFields) {
        const unsigned bit = 1u << field;
        if (!(next.present & bit) || !(base.present & bit))
            continue;
        const float before = base.values[size_t(field)];
        const float step = std::nextafter(before, std::numeric_limits<float>::infinity()) - before;
        if (next.values[size_t(field)] < before - step)
            return true;
    }
    return false;
}

bool PlausibilityCheck::Plausible(const ReadingsRow& row) {
    if (row.state != ReadingsRow::Received)
        return true;
    for (int i = 0; i < ReadingsFieldCount; ++i)
        if ((row.present & (1u << i)) && !std::isfinite(row.fields[size_t(i)]))
            return false;
    const Counters next{row.fields, row.present};
    if (!haveBaseline_ || !Lower(next, baseline_)) {
        // Each counter's highest: readings a float step lower, which pass, must not let the
        // baseline creep down step by step.
        for (int i = 0; i < ReadingsFieldCount; ++i) {
            const unsigned bit = 1u << i;
            if ((next.present & bit) && (!haveBaseline_ || !(baseline_.present & bit) ||
                                         next.values[size_t(i)] > baseline_.values[size_t(i)]))
                baseline_.values[size_t(i)] = next.values[size_t(i)];
        }
        baseline_.present = haveBaseline_ ? baseline_.present | next.present : next.present;
        haveBaseline_ = true;
        run_ = 0;
        return true;
    }
    // Lower than the baseline: a garbled reply, or the first readings of a new meter. Only a run
    // of readings that agree among themselves (none lower than the one before) counts.
    run_ = run_ > 0 && !Lower(next, candidate_) ? run_ + 1 : 1;
    candidate_ = next;
    if (run_ < NewBaselineAfter)
        return false;
    baseline_ = next;
    run_ = 0;
    return true;
}

void PlausibilityCheck::Reset() {
    haveBaseline_ = false;
    run_ = 0;
}
