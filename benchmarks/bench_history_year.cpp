// The history at a year of 5-second readings (6.3 million, some 490 MB) made with sim::Household:
// - `peak --json` for the twelve months, the function behind it and the command as a process;
// - the day totals of 30 days (the page's energy chart);
// - the seed of a poller that starts at the end of that year;
// - the first open of that year in a history without the quarter table: the rebuild;
// - for comparison, the twelve months computed from the readings, as a history that cannot be
//   written answers them;
// - the poller's HTTP side on that year: GET /api/v1/capacity and the page's 30-day energy,
//   GET /api/v1/energy/days, each a whole request over the loopback.
//
//   build/benchmarks/kdr31_bench_history_year
//
// The year is built once (a few minutes) into kdr31-bench-year.sqlite beside the program, or into
// the file KDR31_BENCH_YEAR names, and kept for the next run: delete it to build it afresh.

#include "history/CapacitySeed.h"
#include "history/EnergyHistory.h"
#include "history/HistoryExport.h"
#include "history/HistoryStore.h"
#include "http/HttpServer.h"
#include "poller/ReadingsFanOut.h"
#include "simulator/Household.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTimeZone>
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr qint64 Step = 5'000;
const QDate FirstDay(2026, 1, 1);
const QDate LastDay(2026, 12, 31);

QString yearPath;
qint64 yearStart = 0;
qint64 yearEnd = 0;

bool BuildYearOnce() {
    yearStart = FirstDay.startOfDay().toMSecsSinceEpoch();
    yearEnd = LastDay.addDays(1).startOfDay().toMSecsSinceEpoch();
    const QByteArray named = qgetenv("KDR31_BENCH_YEAR");
    yearPath = named.isEmpty() ? QCoreApplication::applicationDirPath() +
                                     QStringLiteral("/kdr31-bench-year.sqlite")
                               : QString::fromLocal8Bit(named);
    if (QFileInfo::exists(yearPath))
        return true;
    const QString building = yearPath + QStringLiteral(".building");
    QFile::remove(building);
    std::fprintf(stderr, "building a year of 5-second readings in %s ...\n", qPrintable(yearPath));
    QElapsedTimer clock;
    clock.start();
    sim::Household house;
    {
        HistoryStore store;
        if (!store.Open(building))
            return false;
        std::vector<Reading> batch;
        // Local hours: once a day is enough for the household's day.
        for (qint64 day = yearStart; day < yearEnd;) {
            const qint64 next = QDateTime::fromMSecsSinceEpoch(day)
                                    .date()
                                    .addDays(1)
                                    .startOfDay()
                                    .toMSecsSinceEpoch();
            for (qint64 t = day; t < next; t += Step) {
                batch.push_back(house.Next(t, double(t - day) / 3'600'000.0));
                if (batch.size() == 10'000) {
                    if (!store.Insert(batch))
                        return false;
                    batch.clear();
                }
            }
            day = next;
        }
        if (!store.Insert(batch))
            return false;
    }
    std::fprintf(stderr, "built in %.0f s\n", double(clock.elapsed()) / 1000);
    return QFile::rename(building, yearPath);
}

// The year as an older version left it: no quarter table, schema version 1.
QString OlderCopy() {
    const QString copy = yearPath + QStringLiteral(".v1");
    QFile::remove(copy);
    QFile::copy(yearPath, copy);
    sqlite3* db = nullptr;
    sqlite3_open(QFile::encodeName(copy).constData(), &db);
    sqlite3_exec(db, "DROP TABLE quarters; DROP TABLE quarter_marks; PRAGMA user_version=1",
                 nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return copy;
}

QByteArray PeakJson(const QString& path, qint64 now) {
    QString error;
    const auto report = MonthlyPeakReport(path, 2026, 12, std::nullopt, now, &error);
    return report ? QJsonDocument(PeakReportJson(*report)).toJson(QJsonDocument::Compact)
                  : error.toUtf8();
}

void BM_PeakJson12Months(benchmark::State& state) {
    QByteArray json;
    for (auto _ : state)
        json = PeakJson(yearPath, yearEnd - 1);
    const QJsonObject report = QJsonDocument::fromJson(json).object();
    state.counters["months_counted"] = report.value(QStringLiteral("months_counted")).toDouble();
    state.counters["billed_peak_w"] = report.value(QStringLiteral("billed_peak_w")).toDouble();
}
BENCHMARK(BM_PeakJson12Months)->Iterations(20)->Unit(benchmark::kMillisecond);

// The whole command as a shell starts it: the program's start, the history's open, the answer
// on standard output (to /dev/null here).
void BM_PeakCommand(benchmark::State& state) {
    const QByteArray db = QFile::encodeName(yearPath);
    const char* argv[] = {KDR31_CLI_PATH, "peak",    "--json",  "--db",
                          db.constData(), "--month", "2026-12", nullptr};
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    for (auto _ : state) {
        pid_t pid = 0;
        int status = -1;
        if (posix_spawn(&pid, argv[0], &quiet, nullptr, const_cast<char**>(argv), environ) != 0 ||
            waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("kdr31-cli peak failed");
            break;
        }
    }
    posix_spawn_file_actions_destroy(&quiet);
}
BENCHMARK(BM_PeakCommand)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();

// The page's 30-day energy chart: from day totals rather than 518,000 readings.
void BM_DayTotals30Days(benchmark::State& state) {
    size_t complete = 0;
    for (auto _ : state) {
        QString error;
        const auto days = DayTotals(yearPath, LastDay.addDays(-29), LastDay, std::nullopt, &error);
        complete = 0;
        for (const DayEnergy& day : days.value_or(std::vector<DayEnergy>{}))
            complete += day.importWh ? 1 : 0;
    }
    state.counters["complete_days"] = double(complete);
}
BENCHMARK(BM_DayTotals30Days)->Iterations(20)->Unit(benchmark::kMillisecond);

// A poller starting in the last quarter-hour of the year.
void BM_PollerStartSeed(benchmark::State& state) {
    size_t samples = 0;
    for (auto _ : state) {
        QString error;
        const auto seed = PollerStartSeed(yearPath, yearEnd - 1, std::nullopt, &error);
        samples = seed ? seed->quarterImportWh.size() : 0;
    }
    state.counters["quarter_samples"] = double(samples);
}
BENCHMARK(BM_PollerStartSeed)->Iterations(20)->Unit(benchmark::kMillisecond);

// What a history that cannot be written (so keeps no table) costs for the same answer; then the
// first writable open of it, which builds the table, and the answer compared with the year's.
void BM_OlderYear(benchmark::State& state) {
    const QString copy = OlderCopy();
    double fromReadingsMs = 0;
    double rebuildMs = 0;
    bool same = false;
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        const QByteArray fromReadings = PeakJson(copy, yearEnd - 1);
        fromReadingsMs = double(clock.elapsed());
        clock.restart();
        {
            HistoryStore store;
            store.Open(copy);
        }
        rebuildMs = double(clock.elapsed());
        same = PeakJson(copy, yearEnd - 1) == PeakJson(yearPath, yearEnd - 1) &&
               fromReadings == PeakJson(yearPath, yearEnd - 1);
    }
    QFile::remove(copy);
    QFile::remove(copy + QStringLiteral("-wal"));
    QFile::remove(copy + QStringLiteral("-shm"));
    state.counters["peak_12_months_from_readings_ms"] = fromReadingsMs;
    state.counters["rebuild_ms"] = rebuildMs;
    state.counters["answers_agree"] = same ? 1 : 0;
}
BENCHMARK(BM_OlderYear)->Iterations(1)->Unit(benchmark::kMillisecond);

// The poller's HTTP side over the year, as `kdr31-cli poll --http` runs it at the year's end: the
// readings fan-out seeded from the history, one reading handed through it (the year's last, a
// second on), and the server answering from its figures and from the history.
class YearServer : public ReadingSink {
public:
    YearServer() : server_(Options()) {
        fanOut_.Add(this);
        fanOut_.SetCapacitySeeder([](const QString& serial, qint64 now) {
            return ReadCapacitySeed(yearPath, serial, now);
        });
        QString error;
        started_ = server_.Start(&error);
        std::optional<Reading> last;
        HistoryStore store;
        if (store.Open(yearPath, true))
            store.ForEach(yearEnd - 60'000, yearEnd, std::nullopt, [&](const Reading& r) {
                last = r;
                return true;
            });
        if (!last)
            return;
        last->row.time += 1000; // still in the year's last quarter-hour
        fanOut_.Hand(last->row, last->serial);
    }
    ~YearServer() override { server_.Stop(); }
    void Take(const Reading& reading) override { server_.Take(reading); }
    bool Ready() const { return started_ && fanOut_.Capacity(); }

    // One request on a connection of its own; the status line and the body's length.
    std::pair<QByteArray, size_t> Get(const char* path) const {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(server_.Port());
        inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
        QByteArray answer;
        if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            const QByteArray request = QByteArray("GET ") + path +
                                       " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
            send(fd, request.constData(), size_t(request.size()), 0);
            char buffer[65536];
            for (ssize_t got; (got = recv(fd, buffer, sizeof buffer, 0)) > 0;)
                answer.append(buffer, int(got));
        }
        close(fd);
        const int head = answer.indexOf("\r\n\r\n");
        return {answer.left(answer.indexOf("\r\n")),
                head < 0 ? 0 : size_t(answer.size() - head - 4)};
    }

private:
    static HttpOptions Options() {
        HttpOptions options;
        options.port = 0;
        options.databasePath = yearPath;
        return options;
    }

    HttpServer server_;
    ReadingsFanOut fanOut_;
    bool started_ = false;
};

void HttpOnTheYear(benchmark::State& state, const char* path) {
    const YearServer server;
    if (!server.Ready()) {
        state.SkipWithError("the server did not start, or no reading was handed");
        return;
    }
    size_t bytes = 0;
    for (auto _ : state) {
        const auto [status, length] = server.Get(path);
        if (status != "HTTP/1.1 200 OK") {
            state.SkipWithError(status.constData());
            break;
        }
        bytes = length;
    }
    state.counters["body_bytes"] = double(bytes);
}

// The capacity tariff's answer: the newest figures, worked out at the reading, with the twelve
// months. Goal: under 5 ms.
void BM_HttpCapacity(benchmark::State& state) {
    HttpOnTheYear(state, "/api/v1/capacity");
}
BENCHMARK(BM_HttpCapacity)->Iterations(200)->Unit(benchmark::kMillisecond)->UseRealTime();

// The page's 30-day energy chart, from the day totals. Goal: under 50 ms.
void BM_HttpEnergy30Days(benchmark::State& state) {
    HttpOnTheYear(state, "/api/v1/energy/days?from=2026-12-02&to=2026-12-31");
}
BENCHMARK(BM_HttpEnergy30Days)->Iterations(50)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (!BuildYearOnce()) {
        std::fprintf(stderr, "cannot build the year's history\n");
        return 1;
    }
    std::fprintf(stderr, "%s: %.0f MB\n", qPrintable(yearPath),
                 double(QFileInfo(yearPath).size()) / 1e6);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
