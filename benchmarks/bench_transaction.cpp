// What one command transaction costs: it always lasts its 0.3 s deadline, and waiting must cost
// next to no CPU (a busy wait would burn all 300 ms). Wall time is the "Time" column, CPU time
// of the tool's thread the "CPU" column.

#include "device_link/CommandTransaction.h"
#include "device_link/MSComm.h"
#include "device_link/ReplyParser.h"
#include "simulator/Kdr31Simulator.h"

#include <QCoreApplication>
#include <benchmark/benchmark.h>
#include <cstdlib>

namespace {

void BM_IdentifyTransaction(benchmark::State& state) {
    sim::Kdr31Simulator device;
    if (!device.Start()) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    qputenv("KDR31_COM1", QByteArray::fromStdString(device.PortPath()));
    MSComm port;
    port.SetCommPort(1);
    port.SetSettings(QStringLiteral("115200,N,8,1"));
    if (!port.SetPortOpen(true)) {
        state.SkipWithError("port did not open");
        return;
    }
    QByteArray rxBuffer;
    double rxDeadline = 0;
    const TransactionHooks hooks{[] { QCoreApplication::processEvents(); }, nullptr};
    for (auto _ : state) {
        const QByteArray result =
            RunTransaction(port, Command::Identify, {}, rxBuffer, rxDeadline, hooks);
        if (result.isEmpty() || result.at(0) != char(ReplyOk))
            state.SkipWithError("no identify reply");
    }
}
BENCHMARK(BM_IdentifyTransaction)->Iterations(10)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
