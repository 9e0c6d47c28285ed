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

// The BilledMonthCount months that end with (year, month), oldest first, each with its peak (the
// month in progress with its peak so far at `now`; nothing: missing), for a bill (BillOf). Of the
// device with this serial number, or of the newest reading's without one. Nothing, with the
// reason, when the database cannot be read.
std::optional<std::vector<CapacityMonth>> ReadBilledMonths(const QString& databasePath, int year,
                                                           int month,
                                                           const std::optional<QString>& serial,
                                                           qint64 now, QString* error);
