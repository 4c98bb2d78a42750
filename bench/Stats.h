#pragma once

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

// A command-line argument (a key, a request) as the ASCII text it is.
inline std::string narrow(std::wstring_view text) {
    return std::string(text.begin(), text.end());
}

struct Summary {
    double median = 0;
    double p99 = 0;
    std::size_t count = 0;
};

// Median of the sorted samples and the nearest-rank 99th percentile, so that over 30 runs
// the p99 is the slowest run rather than an interpolation no run produced.
inline Summary summarise(std::vector<double> samples) {
    Summary summary;
    summary.count = samples.size();
    if (samples.empty()) {
        return summary;
    }
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    summary.median = n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2.0;
    const auto rank = static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(n)));
    summary.p99 = samples[std::max<std::size_t>(rank, 1) - 1];
    return summary;
}

// Milliseconds from QueryPerformanceCounter, the finest clock the platform offers.
class Clock {
public:
    Clock() { QueryPerformanceFrequency(&frequency); }
    LONGLONG now() const {
        LARGE_INTEGER value;
        QueryPerformanceCounter(&value);
        return value.QuadPart;
    }
    double millisecondsSince(LONGLONG start) const { return milliseconds(now() - start); }
    double milliseconds(LONGLONG ticks) const {
        return static_cast<double>(ticks) * 1000.0 / static_cast<double>(frequency.QuadPart);
    }

private:
    LARGE_INTEGER frequency{};
};

// One machine-readable line per figure, read by scripts/bench.sh:
// BENCH <key> <median> <p99> <unit> <samples>
inline void report(const char* key, const Summary& summary, const char* unit) {
    std::printf("BENCH %s %.4f %.4f %s %zu\n", key, summary.median, summary.p99, unit,
                summary.count);
    std::fflush(stdout);
}

inline void reportValue(const char* key, double value, const char* unit) {
    std::printf("BENCH %s %.4f %.4f %s 1\n", key, value, value, unit);
    std::fflush(stdout);
}

// Figures measured side by side are compared block by block: one ratio per pair of blocks
// run back to back, so that a machine that drifts between blocks moves both sides alike.
// The spread of those ratios says how far the comparison can be trusted.
// RATIO <key> <baseline key> <median> <lowest> <highest> <pairs>
inline void reportRatio(const char* key, const char* baseline, std::vector<double> ratios) {
    if (ratios.empty()) {
        return;
    }
    const Summary summary = summarise(ratios);
    const auto [lowest, highest] = std::minmax_element(ratios.begin(), ratios.end());
    std::printf("RATIO %s %s %.4f %.4f %.4f %zu\n", key, baseline, summary.median, *lowest,
                *highest, ratios.size());
    std::fflush(stdout);
}

} // namespace bench
