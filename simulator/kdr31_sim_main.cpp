// kdr31-sim: a simulated KDR31 on a pseudo-terminal, for running the tool without hardware.
//
//   kdr31-sim [--link PATH] [--version A.B.C.D] [--serial XXXXXXXX] [--interval SECONDS]
//
// Prints the pseudo-terminal's path and answers until it is stopped (Ctrl+C). With --link, a
// symbolic link at PATH points to the pseudo-terminal, so KDR31_COM1=PATH stays the same across
// runs.

#include "simulator/Kdr31Simulator.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void OnSignal(int) {
    stopRequested = 1;
}

int Usage() {
    std::fprintf(stderr, "usage: kdr31-sim [--link PATH] [--version A.B.C.D] [--serial SERIAL]"
                         " [--interval SECONDS]\n");
    return 2;
}

} // namespace

int main(int argc, char* argv[]) {
    std::string link;
    sim::Kdr31Simulator device;
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
        } else {
            return Usage();
        }
    }
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
    while (!stopRequested)
        pause();
    if (!link.empty())
        unlink(link.c_str());
    return 0;
}
