// Time from the STOP control to the STOPPED state as the Service Control Manager reports
// it, for a service started afresh before each run, alternating run by run with the
// baseline service so that both see the same machine. The service's own log line
// "Service shutting down..." splits its figure into the wait before the shut-down begins
// and the shut-down itself.
#include "LogWatch.h"
#include "Scm.h"
#include "Stats.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr DWORD kStateTimeoutMs = 60000;
// A just-started service is left to finish what follows its RUNNING report, and then the
// STOP falls at a different point of each run: a service that looks at a stop request
// only now and then would otherwise be caught at the same point of its period every time.
constexpr DWORD kSettleMs = 300;
constexpr DWORD kSpreadMs = 1000;

struct StopTimes {
    LONGLONG sent = 0;
    LONGLONG stopped = 0;
};

// Starts the service, lets it settle for `delayMs`, stops it; false when it did not.
bool startAndStop(SC_HANDLE service, DWORD delayMs, const bench::Clock& clock, StopTimes& times) {
    if (!StartServiceW(service, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
        std::fprintf(stderr, "scm_stop: StartService failed: %lu\n", GetLastError());
        return false;
    }
    if (!bench::waitForState(service, SERVICE_RUNNING, kStateTimeoutMs)) {
        std::fprintf(stderr, "scm_stop: the service never reached RUNNING\n");
        return false;
    }
    Sleep(delayMs);
    SERVICE_STATUS status{};
    times.sent = clock.now();
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        std::fprintf(stderr, "scm_stop: ControlService failed: %lu\n", GetLastError());
        return false;
    }
    if (!bench::waitForState(service, SERVICE_STOPPED, kStateTimeoutMs)) {
        std::fprintf(stderr, "scm_stop: the service never reached STOPPED\n");
        return false;
    }
    times.stopped = clock.now();
    return true;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 7 || _wtoi(argv[1]) <= 0) {
        std::fprintf(stderr, "usage: scm_stop RUNS SERVICE KEY LOGFILE BASELINE BASELINE_KEY\n");
        return 2;
    }
    const int runs = _wtoi(argv[1]);
    const std::string key = bench::narrow(argv[3]);
    const std::string baseKey = bench::narrow(argv[6]);
    constexpr DWORD access = SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS;
    ServiceHandle service = bench::openService(argv[2], access);
    ServiceHandle baseline = bench::openService(argv[5], access);
    if (!service || !baseline) {
        std::fprintf(stderr, "scm_stop: cannot open the services: %lu\n", GetLastError());
        return 1;
    }
    // The log exists once the service has run; the warm-up run below makes sure of it.
    const bench::Clock clock;
    StopTimes times;
    if (!startAndStop(service.get(), kSettleMs, clock, times) ||
        !startAndStop(baseline.get(), kSettleMs, clock, times)) {
        return 1;
    }
    bench::LogWatch watch(argv[4]);
    if (!watch.start()) {
        std::fprintf(stderr, "scm_stop: cannot watch the log: %lu\n", GetLastError());
        return 1;
    }

    std::vector<double> wholes;
    std::vector<double> waits;
    std::vector<double> shutdowns;
    std::vector<double> baselines;
    std::vector<double> ratios;
    std::vector<double> shutdownRatios;
    // A fixed, spread sequence of offsets, so that the runs cover the period evenly.
    const double golden = 0.6180339887498949;
    double phase = 0.5;
    for (int i = 0; i < runs; ++i) {
        phase += golden;
        phase -= static_cast<int>(phase);
        const auto delay = kSettleMs + static_cast<DWORD>(phase * kSpreadMs);
        if (!startAndStop(service.get(), delay, clock, times)) {
            return 1;
        }
        const LONGLONG begun = watch.waitFor("Service shutting down...", times.sent, 5000);
        if (begun == 0 || begun > times.stopped) {
            std::fprintf(stderr, "scm_stop: run %d logged no shut-down before STOPPED\n", i);
            return 1;
        }
        wholes.push_back(clock.milliseconds(times.stopped - times.sent));
        waits.push_back(clock.milliseconds(begun - times.sent));
        shutdowns.push_back(clock.milliseconds(times.stopped - begun));
        if (!startAndStop(baseline.get(), delay, clock, times)) {
            return 1;
        }
        baselines.push_back(clock.milliseconds(times.stopped - times.sent));
        ratios.push_back(wholes.back() / baselines.back());
        shutdownRatios.push_back(shutdowns.back() / baselines.back());
    }
    bench::report(key.c_str(), bench::summarise(wholes), "ms");
    bench::report((key + "_wait").c_str(), bench::summarise(waits), "ms");
    bench::report((key + "_shutdown").c_str(), bench::summarise(shutdowns), "ms");
    bench::report(baseKey.c_str(), bench::summarise(baselines), "ms");
    bench::reportRatio(key.c_str(), baseKey.c_str(), ratios);
    bench::reportRatio((key + "_shutdown").c_str(), baseKey.c_str(), shutdownRatios);
    return 0;
}
