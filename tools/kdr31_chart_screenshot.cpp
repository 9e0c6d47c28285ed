// Takes screenshots of the chart window over a day of simulated readings: the readings of a
// household, every 5 s from local midnight to 21:07, are recorded into a fresh history database
// the way the window's recorder does, then the chart window opens on it with the 24 h preset.
// Three evenings of each of the eleven months before, with the household's appliances, give the
// quarter-hour tab's twelve months their peaks.
//
//   kdr31_chart_screenshot POWER.png QUARTERS.png   (under an X server: scripts/screenshot.sh)

#include "history/ChartWindow.h"
#include "history/HistoryStore.h"
#include "simulator/Household.h"
#include "tools/WindowShot.h"

#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QPixmap>
#include <QScreen>
#include <QStyleFactory>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>

namespace {

bool Save(ChartWindow& window, const char* path) {
    return SaveWindowShot(window, path, "kdr31_chart_screenshot");
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: kdr31_chart_screenshot POWER.png QUARTERS.png\n");
        return 2;
    }
    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("history.sqlite"));
    const QDateTime midnight(QDate(2026, 12, 7), QTime(0, 0));
    const qint64 start = midnight.toMSecsSinceEpoch();
    const qint64 end = QDateTime(midnight.date(), QTime(21, 7, 30)).toMSecsSinceEpoch();
    {
        HistoryStore store;
        if (!store.Open(path)) {
            std::fprintf(stderr, "kdr31_chart_screenshot: %s\n", qPrintable(store.ErrorText()));
            return 1;
        }
        sim::Household evenings;
        evenings.UseAppliances(sim::Appliances());
        std::vector<Reading> months;
        for (int back = 11; back >= 1; --back)
            for (const int date : {5, 12, 19}) {
                const QDateTime from(midnight.date().addMonths(-back).addDays(date - 7),
                                     QTime(16, 0));
                const qint64 first = from.toMSecsSinceEpoch();
                for (qint64 t = first; t < first + 7 * 3'600'000; t += 5000)
                    months.push_back(evenings.Next(t, 16 + double(t - first) / 3'600'000.0));
            }
        store.Insert(months);
        sim::Household house;
        std::vector<Reading> day;
        for (qint64 t = start; t <= end; t += 5000)
            day.push_back(house.Next(t, double(t - start) / 3'600'000.0));
        store.Insert(day);
    }

    ChartWindow window(path);
    window.SetNow([end] { return end; });
    window.SetSerial(QStringLiteral("12345678"));
    window.show();
    window.ShowLast(24 * 3600 * 1000);
    // The history is read on the window's loader thread; the peak follows in the next turns.
    QElapsedTimer clock;
    clock.start();
    while (window.Loading() && clock.elapsed() < 60'000)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    for (clock.restart(); clock.elapsed() < 100;)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    if (!Save(window, argv[1]))
        return 1;
    if (const QByteArray more = qgetenv("KDR31_CHART_ALL_TABS"); !more.isEmpty()) {
        for (int tab : {1, 2}) {
            window.Tabs()->setCurrentIndex(tab);
            Save(window, (more + QByteArray::number(tab) + ".png").constData());
        }
    }
    window.Tabs()->setCurrentIndex(3);
    if (!Save(window, argv[2]))
        return 1;
    std::printf("%s, %s: %zu readings; %s\n", argv[1], argv[2], window.Series().Size(),
                qPrintable(window.PeakText()));
    return 0;
}
