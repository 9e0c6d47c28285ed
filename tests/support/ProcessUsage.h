#pragma once
// What this process uses of the machine: CPU time and resident memory.

#include <fstream>
#include <string>
#include <sys/resource.h>

// CPU time used by this process so far, in seconds.
inline double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A line of /proc/self/status in KiB ("VmRSS", "VmHWM"); 0 when it is not there (Linux only).
inline long StatusKiB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string key = field + ':';
    while (std::getline(status, line))
        if (line.rfind(key, 0) == 0)
            return std::stol(line.substr(key.size()));
    return 0;
}

// Resident memory of this process, in KiB.
inline long ResidentKiB() {
    return StatusKiB("VmRSS");
}

// The most resident memory this process has had since ResetPeakResident (or its start), in KiB.
inline long PeakResidentKiB() {
    return StatusKiB("VmHWM");
}

// Lets the peak start again from the present resident memory. False where the system cannot.
inline bool ResetPeakResident() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return bool(clear);
}
