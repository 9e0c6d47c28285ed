// kdr31-sim: a simulated KDR31 on a pseudo-terminal, for running the tool without hardware.
//
//   kdr31-sim [--link PATH] [--version A.B.C.D] [--serial XXXXXXXX] [--interval SECONDS]
//             [--household [SEED]]
//
// Prints the pseudo-terminal's path and answers until it is stopped (Ctrl+C). With --link, a
// symbolic link at PATH points to the pseudo-terminal, so KDR31_COM1=PATH stays the same across
// runs. With --household the readings are a household's by the clock (HouseholdMeter): a kettle,
// an oven, a car charger and a heat pump switching on and off through the month, so that some
// quarter-hours set new peaks and the capacity tariff's warning shows; SEED draws another month.

#include "simulator/Appliances.h"
#include "simulator/Kdr31Simulator.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <sys/time.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void OnSignal(int) {
    stopRequested = 1;
}

int Usage() {
    std::fprintf(stderr, "usage: kdr31-sim [--link PATH] [--version A.B.C.D] [--serial SERIAL]"
                         " [--interval SECONDS] [--household [SEED]]\n");
    return 2;
}

std::int64_t NowMs() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return std::int64_t(now.tv_sec) * 1000 + now.tv_usec / 1000;
}

// The household's meter, stepped every 5 s of the clock, its values served until the next step.
class ClockedHousehold {
public:
    explicit ClockedHousehold(std::uint64_t seed) { meter_.UseAppliances(sim::Appliances(seed)); }

    void CatchUp(sim::Kdr31Simulator& device) {
        constexpr std::int64_t Step = 5000;
        const std::int64_t now = NowMs();
        if (next_ == 0)
            next_ = now - now % Step;
        if (next_ > now)
            return;
        std::array<float, 13> values{};
        for (; next_ <= now; next_ += Step) {
            const std::time_t seconds = std::time_t(next_ / 1000);
            std::tm local{};
            localtime_r(&seconds, &local);
            const double hour = local.tm_hour + local.tm_min / 60.0 + local.tm_sec / 3600.0;
            // The local date as a day number: its midnight read as if it were UTC.
            std::tm date{};
            date.tm_year = local.tm_year;
            date.tm_mon = local.tm_mon;
            date.tm_mday = local.tm_mday;
            values = meter_.Next(next_, hour, std::int64_t(timegm(&date) / 86400));
        }
        device.SetReadings(values);
    }

private:
    sim::HouseholdMeter meter_;
    std::int64_t next_ = 0;
};

} // namespace

int main(int argc, char* argv[]) {
    std::string link;
    sim::Kdr31Simulator device;
    std::unique_ptr<ClockedHousehold> household;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--link" && value) {
            link = value;
            ++i;
        } else if (arg == "--version" && value) {
            unsigned a, b, c, d;
            if (std::sscanf(value, "%u.%u.%u.%u", &a, &b, &c, &d) != 4 || a > 255 || b > 255 ||
                c > 255 || d > 255)
                return Usage();
            device.SetVersion({static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b),
                               static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(d)});
            ++i;
        } else if (arg == "--serial" && value) {
            device.SetSerialNumber(value);
            ++i;
        } else if (arg == "--interval" && value) {
            sim::DeviceSettings settings = device.Settings();
            settings.interval = static_cast<std::uint8_t>(std::atoi(value));
            device.SetSettings(settings);
            ++i;
        } else if (arg == "--household") {
            std::uint64_t seed = 2026;
            if (value && value[0] != '-') {
                char* end = nullptr;
                seed = std::strtoull(value, &end, 10);
                if (*end != '\0')
                    return Usage();
                ++i;
            }
            household = std::make_unique<ClockedHousehold>(seed);
        } else {
            return Usage();
        }
    }
    if (household)
        household->CatchUp(device);
    if (!device.Start()) {
        std::fprintf(stderr, "kdr31-sim: %s\n", device.ErrorText().c_str());
        return 1;
    }
    const std::string path = device.PortPath();
    if (!link.empty()) {
        unlink(link.c_str());
        if (symlink(path.c_str(), link.c_str()) != 0) {
            std::fprintf(stderr, "kdr31-sim: cannot link %s: %s\n", link.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }
    std::printf("Simulated KDR31 on %s%s%s\n", path.c_str(), link.empty() ? "" : " linked at ",
                link.c_str());
    std::fflush(stdout);

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    while (!stopRequested) {
        if (!household) {
            pause();
            continue;
        }
        household->CatchUp(device);
        usleep(250'000);
    }
    if (!link.empty())
        unlink(link.c_str());
    return 0;
}
