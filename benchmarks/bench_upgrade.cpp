// What a whole firmware upgrade of the largest image (255 blocks) costs, through the real window
// against a local FTP server and the simulated boot loader: the check, the download, 255 block
// transactions of 0.3 s, the finishing command, the 7 s reboot wait and the reconnection.
//
// Wall time is dominated by the transactions and the reboot wait, which the device dictates. The
// CPU time shows whether the tool waits without spinning: the UI thread's share is the tool
// itself; the process's share adds the transfer thread and the simulated device.
//
// Also what a hostile or broken firmware server costs: the memory while it streams a 1 GB list,
// and the time the window takes to close while the server's name lookup hangs.

#include "LatencyProbe.h"
#include "support/HangingLookup.h"
#include "support/ProcessUsage.h"
#include "support/UpgradeRig.h"

#include "firmware/Inet.h"

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

// A firmware server that streams a 1 GB upgrade list without announcing its size (the data is
// made up as it is sent, never on disk). The tool cuts the list off at its bound: the peak
// resident memory of the whole process (tool, simulated device, Qt) during that upgrade, and what
// it grew by, are printed.
void BM_UpgradeAgainstA1GBList(benchmark::State& state) {
    for (auto _ : state) {
        UpgradeRig rig;
        QString error;
        if (!rig.server.AddGeneratedFile(QStringLiteral("TAMO_UPGlist.bin"), qint64(1) << 30) ||
            !rig.Start(QByteArray(), QByteArray(), &error)) {
            state.SkipWithError(error.toStdString().c_str());
            return;
        }
        if (!ResetPeakResident()) {
            state.SkipWithError("the peak resident memory cannot be reset here");
            return;
        }
        const long before = ResidentKiB();
        const auto wallStart = std::chrono::steady_clock::now();
        rig.w.cmdUpgrade->click();
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
        const long peak = PeakResidentKiB();
        if (rig.t.log->messages != QStringList{UpgradeText::NotDownloaded}) {
            state.SkipWithError("the oversized list was not refused");
            return;
        }
        state.SetIterationTime(wall);
        state.counters["peak_rss_MiB"] = peak / 1024.0;
        state.counters["growth_MiB"] = (peak - before) / 1024.0;
        state.counters["received_KiB"] = rig.w.Inet1->BytesReceived() / 1024.0;
        std::printf("1 GB list: peak resident memory %.1f MiB (%.1f MiB before the upgrade), "
                    "%.0f KiB received, refused after %.2f s\n",
                    peak / 1024.0, before / 1024.0, rig.w.Inet1->BytesReceived() / 1024.0, wall);
    }
}
BENCHMARK(BM_UpgradeAgainstA1GBList)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// The main window is closed half a second into the version check, while the firmware server's
// name lookup hangs: the time from the close to the window being gone and the upgrade over.
void BM_CloseDuringAHangingLookup(benchmark::State& state) {
    for (auto _ : state) {
        UpgradeRig rig;
        QString error;
        if (!rig.Start(UpgradeList(ListVersion), HexFileOf(TestImage(1000)), &error)) {
            state.SkipWithError(error.toStdString().c_str());
            return;
        }
        rig.server.UseAsFirmwareServer(kHangingHost);
        ProgressRecorder recorder(rig.w);
        double closedAt = 0;
        recorder.onSample = [&](const QString& label) {
            const double checking = recorder.FirstSeen(UpgradeText::Checking);
            if (closedAt == 0 && label == UpgradeText::Checking && Timer() - checking >= 0.5) {
                closedAt = Timer();
                rig.w.close();
            }
        };
        rig.w.cmdUpgrade->click();
        const double closing = Timer() - closedAt;
        if (closedAt == 0 || rig.w.isVisible()) {
            state.SkipWithError("the window was not closed during the check");
            return;
        }
        state.SetIterationTime(closing);
        state.counters["close_ms"] = closing * 1000;
        std::printf("closed during a hanging name lookup in %.1f ms\n", closing * 1000);
    }
}
BENCHMARK(BM_CloseDuringAHangingLookup)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

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
