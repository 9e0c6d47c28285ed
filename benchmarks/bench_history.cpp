// The readings history: the cost of one reading's insert into a database that already holds
// 1,000,000 readings, the poll's own cost of handing a reading to the recorder, the database's
// size per million readings, and the chart's redraw of 30 days of 5-second readings.
//
//   build/benchmarks/kdr31_bench_history         (QT_QPA_PLATFORM=offscreen; about a minute)

#include "history/ChartWindow.h"
#include "history/HistoryRecorder.h"
#include "history/HistoryStore.h"

#include <QApplication>
#include <QFileInfo>
#include <QPixmap>
#include <QTabWidget>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <cmath>
#include <memory>

namespace {

constexpr qint64 Start = 1'796'000'000'000; // December 2026
constexpr qint64 Step = 5'000;              // a reading every 5 s
constexpr int Prefill = 1'000'000;

// A household: a base load with cooking peaks and solar export at midday; counters in Wh, gas
// in m3 with the meter's three decimals.
struct Household {
    double importWh = 12'345'000, exportWh = 4'321'000, gas = 3456.789;
    Reading Next(qint64 time) {
        const double hour = double(time % 86'400'000) / 3'600'000.0;
        const double solar = std::max(0.0, 3000 * std::sin((hour - 7) / 12 * M_PI));
        const double use =
            300 + 150 * std::sin(double(time) / 7e5) + (hour > 17 && hour < 19 ? 2500 : 0);
        const double net = use - solar;
        const float importW = float(std::max(0.0, std::round(net)));
        const float exportW = float(std::max(0.0, std::round(-net)));
        importWh += importW * 5 / 3600;
        exportWh += exportW * 5 / 3600;
        if (time % 300'000 == 0)
            gas += hour < 8 || hour > 17 ? 0.041 : 0.006;
        Reading r;
        r.serial = QStringLiteral("12345678");
        r.row.time = time;
        r.row.state = ReadingsRow::Received;
        r.row.present = 0x1fff;
        const bool low = hour < 7 || hour >= 21;
        r.row.fields = {importW,
                        float(std::round(low ? importWh * 0.4 : importWh * 0.6)),
                        float(std::round(low ? importWh * 0.6 : importWh * 0.4)),
                        2.0f,
                        exportW,
                        float(std::round(exportWh * 0.7)),
                        float(std::round(exportWh * 0.3)),
                        1.0f,
                        float(gas),
                        0.0f,
                        low ? 2.0f : 1.0f,
                        17.0f,
                        4.0f};
        return r;
    }
};

QTemporaryDir* dir;
QString path;
qint64 nextTime = Start;
Household house;

void PrefillOnce() {
    if (!path.isEmpty())
        return;
    dir = new QTemporaryDir;
    path = dir->filePath(QStringLiteral("history.sqlite"));
    HistoryStore store;
    store.Open(path);
    std::vector<Reading> batch;
    for (int i = 0; i < Prefill; ++i) {
        batch.push_back(house.Next(nextTime));
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
        const bool ok = store.Insert({house.Next(nextTime)});
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
        recorder.Record(house.Next(nextTime));
        nextTime += Step;
    }
    recorder.WaitUntilWritten(60'000);
}
BENCHMARK(BM_RecordCall)->Iterations(20'000)->Unit(benchmark::kMicrosecond);

// 30 days of 5-second readings (518,400 points) decimated, handed to the chart and painted.
void BM_ChartRedraw30Days(benchmark::State& state) {
    ChartSeries series;
    Household h;
    constexpr int Points = 30 * 17'280;
    for (int i = 0; i < Points; ++i)
        series.Add(h.Next(Start + qint64(i) * Step));
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

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    delete dir;
    return 0;
}
