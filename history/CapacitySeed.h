#pragma once
// The live capacity figures' start from the history: the month's peak so far, the eleven months
// before it and the readings of the quarter-hour now, so a poller that starts mid-month (or is
// restarted mid-quarter) goes on where the previous one stopped instead of from nothing.

#include "history/LiveCapacity.h"

#include <QString>
#include <optional>

// Of the device with this serial number, in the PC's time zone, at `now` (UTC ms). Nothing when
// the database cannot be read (there is none yet, for one).
std::optional<CapacitySeed> ReadCapacitySeed(const QString& databasePath, const QString& serial,
                                             qint64 now);
