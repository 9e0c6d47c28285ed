// What a whole firmware upgrade of the largest image (255 blocks) costs, through the real window
// against a local FTP server and the simulated boot loader: the check, the download, 255 block
// transactions of 0.3 s, the finishing command, the 7 s reboot wait and the reconnection.
//
// Wall time is dominated by the transactions and the reboot wait, which the device dictates. The
// CPU time shows whether the tool waits without spinning: the UI thread's share is the tool
// itself; the process's share adds the transfer thread and the simulated device.

#include "LatencyProbe.h"
#include "support/UpgradeRig.h"

#include <QApplication>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <curl/curl.h>
#include <sys/resource.h>

namespace {

double ThreadCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void BM_Upgrade255Blocks(benchmark::State& state) {
    const QByteArray image = TestImage(MaxUploadImageBytes);
    for (auto _ : state) {
        UpgradeRig rig;
        QString error;
        if (!rig.Start(UpgradeList(ListVersion), HexFileOf(image), &error)) {
            state.SkipWithError(error.toStdString().c_str());
            return;
        }
        const auto wallStart = std::chrono::steady_clock::now();
        const double processStart = ProcessCpuSeconds();
        const double threadStart = ThreadCpuSeconds();
        LatencyProbe probe;
        rig.w.cmdUpgrade->click();
        probe.Print("during a full upgrade");
        state.counters["posted_p95_ms"] = probe.Percentile(true, 0.95);
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
        const double processCpu = ProcessCpuSeconds() - processStart;
        const double threadCpu = ThreadCpuSeconds() - threadStart;

        if (!rig.t.log->messages.isEmpty() || !rig.sim.device.BootLoader().flashed ||
            rig.sim.device.ReceivedFrames(208).size() != 255) {
            state.SkipWithError("the upgrade did not complete");
            return;
        }
        state.SetIterationTime(wall);
        state.counters["wall_s"] = wall;
        state.counters["ui_thread_cpu_s"] = threadCpu;
        state.counters["process_cpu_s"] = processCpu;
        std::printf("255-block upgrade: wall %.2f s, CPU %.3f s on the UI thread, %.3f s in the "
                    "whole process (with the simulated device)\n",
                    wall, threadCpu, processCpu);
    }
}
BENCHMARK(BM_Upgrade255Blocks)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int status = 0;
    {
        QApplication app(argc, argv);
        // temp.tmp in a directory of this run's own.
        QTemporaryDir cache;
        qputenv("XDG_CACHE_HOME", QFile::encodeName(cache.path()));
        benchmark::Initialize(&argc, argv);
        if (benchmark::ReportUnrecognizedArguments(argc, argv))
            status = 1;
        else
            benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    }
    curl_global_cleanup();
    return status;
}
