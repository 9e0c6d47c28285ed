// What one command transaction costs: it always lasts its 0.3 s deadline, and waiting must cost
// next to no CPU (a busy wait would burn all 300 ms). Wall time is the "Time" column, CPU time
// of the tool's thread the "CPU" column.

#include "LatencyProbe.h"
#include "SimulatedLink.h"
#include "device_link/ReplyParser.h"

#include <QCoreApplication>
#include <benchmark/benchmark.h>
#include <cstdlib>

namespace {

void BM_IdentifyTransaction(benchmark::State& state) {
    SimulatedLink link;
    if (const QString error = link.Open(); !error.isEmpty()) {
        state.SkipWithError(error.toStdString().c_str());
        return;
    }
    for (auto _ : state) {
        const QByteArray result = link.Send(Command::Identify);
        if (result.isEmpty() || result.at(0) != char(ReplyOk))
            state.SkipWithError("no identify reply");
    }
}
BENCHMARK(BM_IdentifyTransaction)->Iterations(10)->Unit(benchmark::kMillisecond);

// What the window thread keeps waiting while transactions run back to back: they wait in an
// event loop, so posted calls and timers go on.
void BM_EventsDuringTransactions(benchmark::State& state) {
    SimulatedLink link;
    if (const QString error = link.Open(); !error.isEmpty()) {
        state.SkipWithError(error.toStdString().c_str());
        return;
    }
    LatencyProbe probe;
    for (auto _ : state)
        link.Send(Command::Readings);
    probe.Print("during transactions");
    state.counters["posted_p95_ms"] = probe.Percentile(true, 0.95);
    state.counters["timer_late_p95_ms"] = probe.Percentile(false, 0.95);
}
BENCHMARK(BM_EventsDuringTransactions)->Iterations(20)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
