#include "history/CapacitySeed.h"

#include "history/EnergyHistory.h"

std::optional<CapacitySeed> ReadCapacitySeed(const QString& databasePath, const QString& serial,
                                             qint64 now) {
    // From the history's quarter table: milliseconds on a year of 5-second readings.
    QString error;
    const std::optional<PollerSeed> read = PollerStartSeed(databasePath, now, serial, &error);
    if (!read)
        return std::nullopt;
    CapacitySeed seed;
    seed.year = read->year;
    seed.month = read->month;
    seed.monthPeak = read->peak;
    for (const CapacityMonth& month : read->months)
        if (month.peakW && !(month.year == seed.year && month.month == seed.month))
            seed.earlier.push_back(month);
    seed.runningQuarter = read->quarterImportWh;
    return seed;
}
