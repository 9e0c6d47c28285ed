// The readings history: the cost of one reading's insert into a database that already holds
// 1,000,000 readings, the poll's own cost of handing a reading to the recorder, the database's
// size per million readings, the chart's redraw of 30 days of 5-second readings, and the window
// thread's longest wait while the chart window loads those 30 days from the history.
//
//   build/benchmarks/kdr31_bench_history         (QT_QPA_PLATFORM=offscreen; about a minute)

#include "LatencyProbe.h"
#include "history/ChartWindow.h"
#include "history/HistoryRecorder.h"
#include "history/HistoryStore.h"
#include "simulator/Household.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPixmap>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <cmath>
#include <memory>

namespace {

constexpr qint64 Start = 1'796'000'000'000; // December 2026
constexpr qint64 Step = 5'000;              // a reading every 5 s
constexpr int Prefill = 1'000'000;

// Local hour of day, near enough for a benchmark.
double Hour(qint64 time) {
    return double(time % 86'400'000) / 3'600'000.0;
}

QTemporaryDir* dir;
QString path;
qint64 nextTime = Start;
sim::Household house;

void PrefillOnce() {
    if (!path.isEmpty())
        return;
    dir = new QTemporaryDir;
    path = dir->filePath(QStringLiteral("history.sqlite"));
    HistoryStore store;
    store.Open(path);
    std::vector<Reading> batch;
    for (int i = 0; i < Prefill; ++i) {
        batch.push_back(house.Next(nextTime, Hour(nextTime)));
        nextTime += Step;
        if (batch.size() == 10'000) {
            store.Insert(batch);
            batch.clear();
        }
    }
}

qint64 DatabaseBytes() {
    return QFileInfo(path).size() + QFileInfo(path + QStringLiteral("-wal")).size();
}

// One reading per transaction: what the recorder does when each poll's reading finds it idle.
void BM_InsertOneReadingAt1M(benchmark::State& state) {
    PrefillOnce();
    HistoryStore store;
    store.Open(path);
    for (auto _ : state) {
        const bool ok = store.Insert({house.Next(nextTime, Hour(nextTime))});
        nextTime += Step;
        benchmark::DoNotOptimize(ok);
    }
    state.counters["rows_before"] = Prefill;
}
BENCHMARK(BM_InsertOneReadingAt1M)->Iterations(2000)->Unit(benchmark::kMicrosecond);

void BM_DatabaseSizePerMillion(benchmark::State& state) {
    PrefillOnce();
    {
        // Fold the write-ahead log into the file, as closing the last connection does.
        HistoryStore store;
        store.Open(path);
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(DatabaseBytes());
    state.counters["MB_per_million"] = double(DatabaseBytes()) / 1e6 * 1e6 / double(Prefill);
}
BENCHMARK(BM_DatabaseSizePerMillion)->Iterations(1);

// What the poll pays: the reading is queued and the call returns.
void BM_RecordCall(benchmark::State& state) {
    PrefillOnce();
    HistoryRecorder recorder(path);
    for (auto _ : state) {
        recorder.Record(house.Next(nextTime, Hour(nextTime)));
        nextTime += Step;
    }
    recorder.WaitUntilWritten(60'000);
}
BENCHMARK(BM_RecordCall)->Iterations(20'000)->Unit(benchmark::kMicrosecond);

// 30 days of 5-second readings (518,400 points) decimated, handed to the chart and painted.
void BM_ChartRedraw30Days(benchmark::State& state) {
    ChartSeries series;
    sim::Household h;
    constexpr int Points = 30 * 17'280;
    for (int i = 0; i < Points; ++i)
        series.Add(h.Next(Start + qint64(i) * Step, Hour(Start + qint64(i) * Step)));
    ChartWindow window(QString(), nullptr);
    window.resize(1200, 700);
    window.SetSeries(std::move(series));
    window.show();
    QApplication::processEvents();
    const qint64 from = Start, to = Start + qint64(Points) * Step;
    QWidget* view = window.Tabs()->widget(0);
    qint64 shift = 0;
    for (auto _ : state) {
        // A pan by a few pixels: every redraw decimates afresh.
        window.SetView(from + shift, to + shift);
        const QPixmap frame = view->grab();
        benchmark::DoNotOptimize(frame.cacheKey());
        shift = (shift + 60'000) % 3'600'000;
    }
    state.counters["points"] = Points;
    state.counters["plotted"] = window.PlottedPoints();
}
BENCHMARK(BM_ChartRedraw30Days)->Iterations(50)->Unit(benchmark::kMillisecond);

// The window thread's longest wait while the chart window loads 30 days of 5-second readings
// (518,400 rows) from the history: "7 days" and at once "30 days" clicked, as an impatient user
// does, with the latency probe's posted calls and timer ticks running until the 30 days are in
// the chart and painted.
void BM_ChartLoad30DaysStall(benchmark::State& state) {
    constexpr int Rows = 30 * 17'280;
    const qint64 end = Start + qint64(Rows) * Step;
    QTemporaryDir monthDir;
    const QString monthPath = monthDir.filePath(QStringLiteral("month.sqlite"));
    sim::Household h;
    QString serial;
    {
        HistoryStore store;
        store.Open(monthPath);
        std::vector<Reading> batch;
        for (int i = 0; i < Rows; ++i) {
            const qint64 t = Start + qint64(i) * Step;
            batch.push_back(h.Next(t, Hour(t)));
            serial = batch.back().serial;
            if (batch.size() == 10'000 || i == Rows - 1) {
                store.Insert(batch);
                batch.clear();
            }
        }
    }
    double posted = 0, late = 0, loadMs = 0;
    for (auto _ : state) {
        ChartWindow window(monthPath, nullptr);
        window.SetNow([end] { return end; });
        window.SetSerial(serial);
        window.resize(1200, 700);
        window.show();
        QApplication::processEvents();
        auto* week = window.findChild<QPushButton*>(QStringLiteral("cmdSpan7days"));
        auto* month = window.findChild<QPushButton*>(QStringLiteral("cmdSpan30days"));
        LatencyProbe probe;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 200)
            QApplication::processEvents(QEventLoop::AllEvents, 5);
        clock.restart();
        week->click();
        month->click();
        while (window.Series().Size() < size_t(Rows) && clock.elapsed() < 60'000)
            QApplication::processEvents(QEventLoop::AllEvents, 5);
        loadMs = double(clock.elapsed());
        // The repaint that shows the month comes after the load.
        const qint64 shown = clock.elapsed();
        while (clock.elapsed() < shown + 300)
            QApplication::processEvents(QEventLoop::AllEvents, 5);
        probe.Print("chart window loading 30 days");
        posted = probe.Percentile(true, 1.0);
        late = probe.Percentile(false, 1.0);
        state.counters["rows_loaded"] = double(window.Series().Size());
    }
    state.counters["load_ms"] = loadMs;
    state.counters["longest_posted_wait_ms"] = posted;
    state.counters["longest_tick_late_ms"] = late;
}
BENCHMARK(BM_ChartLoad30DaysStall)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    delete dir;
    return 0;
}
