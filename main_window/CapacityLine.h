#pragma once
// What the window's line for the capacity tariff says, below the connection's line: the
// quarter-hour now, its forecast and the headroom, the month's peak and the billed peak, in kW
// with the user's decimal separator; while the peak warning is on it begins with the warning,
// the minutes left and what to switch off. No I/O: the window hands in the figures of a reading
// (frmKDR31::ShowCapacity).

#include "history/LiveCapacity.h"

#include <QLocale>
#include <QString>

// "Quarter-hour 18:15-18:30: 1,234 kW so far, forecast 2,345 kW, headroom 0,156 kW; month's peak
// 2,100 kW; billed peak 2,500 kW (12 months)", "–" for a figure without a value; with the
// warning on, "Peak warning, 6 min left: switch off 0,512 kW. " before it.
QString CapacityLineText(const CapacityNow& now, const QLocale& locale = QLocale());
