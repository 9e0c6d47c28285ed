#include "main_window/CapacityLine.h"

#include "main_window/StatusStrip.h"
#include "main_window/frmKDR31.h"

#include <QAccessible>
#include <QDateTime>
#include <QLabel>
#include <cmath>

namespace {

// kW with three decimals and the user's decimal separator, as the grid writes its numbers.
QString Kilowatts(const std::optional<double>& watts, const QLocale& locale) {
    if (!watts)
        return QStringLiteral("\u2013 kW");
    return QString::number(*watts / 1000.0, 'f', 3)
               .replace(QLatin1Char('.'), locale.decimalPoint()) +
           QStringLiteral(" kW");
}

QString ClockText(qint64 ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("HH:mm"));
}

} // namespace

QString CapacityLineText(const CapacityNow& now, const QLocale& locale) {
    QString text;
    if (now.peakWarning) {
        const int minutes = now.warningMinutesLeft ? int(std::floor(*now.warningMinutesLeft)) : 0;
        text = minutes >= 1 ? QStringLiteral("Peak warning, %1 min left").arg(minutes)
                            : QStringLiteral("Peak warning, less than a minute left");
        if (now.headroomW && *now.headroomW < 0)
            text += QStringLiteral(": switch off ") + Kilowatts(-*now.headroomW, locale);
        text += QStringLiteral(". ");
    }
    text += QStringLiteral("Quarter-hour %1-%2: %3 so far, forecast %4, headroom %5")
                .arg(ClockText(now.quarterStart), ClockText(now.quarterEnd),
                     Kilowatts(now.quarterAverageW, locale),
                     Kilowatts(now.quarterForecastW, locale), Kilowatts(now.headroomW, locale));
    text +=
        QStringLiteral("; month's peak ") +
        Kilowatts(now.monthPeak ? std::optional(now.monthPeak->averageW) : std::nullopt, locale);
    const std::optional<double> billed = now.bill ? now.bill->billedPeakW : std::nullopt;
    text += QStringLiteral("; billed peak ") + Kilowatts(billed, locale);
    if (billed)
        text += QStringLiteral(" (%1 %2)")
                    .arg(now.bill->monthsCounted)
                    .arg(now.bill->monthsCounted == 1 ? QStringLiteral("month")
                                                      : QStringLiteral("months"));
    return text;
}

void frmKDR31::ShowCapacity(const CapacityNow* now) {
    StatusStrip::Say(lblCapacity, now ? CapacityLineText(*now) : QString());
    const bool warning = now && now->peakWarning;
    if (warning == lblCapacity->autoFillBackground())
        return;
    // Dark text on orange: the colour of the page's warning banner, readable in light and dark
    // themes alike.
    lblCapacity->setAutoFillBackground(warning);
    QPalette palette;
    if (warning) {
        palette = lblCapacity->palette();
        palette.setColor(QPalette::Window, QColor(0xe8, 0x59, 0x0c));
        palette.setColor(QPalette::WindowText, Qt::black);
    }
    // A default palette gives the line back its parent's colours.
    lblCapacity->setPalette(palette);
    if (warning) {
        // The text (the line's accessible name) is new at every reading; the start of a warning
        // is told as an alert too, which screen readers speak at once.
        QAccessibleEvent alert(lblCapacity, QAccessible::Alert);
        QAccessible::updateAccessibility(&alert);
    }
}
