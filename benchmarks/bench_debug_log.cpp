// What reading and saving the debug log costs. A read of the longest log (1535 bytes) lasts
// until 0.5 s after the reply's header and should cost next to no CPU ("CPU" column); showing
// and saving a log are measured on a long session's log of a hundred such reads.

#include "SimulatedLink.h"
#include "debug_log/DebugLog.h"
#include "device_link/ReplyParser.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

namespace {

QByteArray SessionLog(int bytes) {
    QByteArray log;
    for (int i = 0; log.size() < bytes; ++i)
        log += "  " + QByteArray::number(i) + ".000 P1 DSMR 5 telegram 735 bytes, CRC ok\r\n";
    return log.left(bytes);
}

void BM_ReadLongestLog(benchmark::State& state) {
    SimulatedLink link;
    if (const QString error = link.Open(); !error.isEmpty()) {
        state.SkipWithError(error.toStdString().c_str());
        return;
    }
    const QByteArray log = SessionLog(1535);
    link.device.SetDebugLog(sim::Bytes(log.begin(), log.end()));
    for (auto _ : state) {
        if (link.Send(Command::DebugLog).size() != 1 + log.size())
            state.SkipWithError("the log did not arrive whole");
    }
}
BENCHMARK(BM_ReadLongestLog)->Iterations(5)->Unit(benchmark::kMillisecond);

void BM_ShowLog(benchmark::State& state) {
    const QByteArray log = SessionLog(static_cast<int>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(DebugLogDisplayText(log));
    state.SetBytesProcessed(state.iterations() * log.size());
}
BENCHMARK(BM_ShowLog)->Arg(1535)->Arg(153500);

void BM_SaveLog(benchmark::State& state) {
    const QByteArray log = SessionLog(153500);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.txt"));
    for (auto _ : state)
        if (WriteDebugLogFile(path, log))
            state.SkipWithError("not written");
    state.SetBytesProcessed(state.iterations() * log.size());
}
BENCHMARK(BM_SaveLog)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
