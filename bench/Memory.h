#pragma once

#include <windows.h>

#include <psapi.h>

namespace bench {

struct WorkingSet {
    double peakMiB = 0;
    double currentMiB = 0;
};

inline bool workingSet(HANDLE process, WorkingSet& result) {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(process, &counters, sizeof counters)) {
        return false;
    }
    constexpr double kMiB = 1024.0 * 1024.0;
    result.peakMiB = static_cast<double>(counters.PeakWorkingSetSize) / kMiB;
    result.currentMiB = static_cast<double>(counters.WorkingSetSize) / kMiB;
    return true;
}

} // namespace bench
