// Time from the STOP control to the STOPPED state as the Service Control Manager reports
// it, for a service started afresh before each run.
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

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: scm_stop SERVICE RUNS KEY\n");
        return 2;
    }
    const int runs = _wtoi(argv[2]);
    std::string key;
    for (const wchar_t* c = argv[3]; *c != L'\0'; ++c) {
        key.push_back(static_cast<char>(*c));
    }
    ServiceHandle service =
        bench::openService(argv[1], SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (!service) {
        std::fprintf(stderr, "scm_stop: cannot open the service: %lu\n", GetLastError());
        return 1;
    }
    const bench::Clock clock;
    std::vector<double> samples;
    // A fixed, spread sequence of offsets, so that ten runs cover the period evenly.
    const double golden = 0.6180339887498949;
    double phase = 0.5;
    for (int i = 0; i < runs; ++i) {
        if (!StartServiceW(service.get(), 0, nullptr) &&
            GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
            std::fprintf(stderr, "scm_stop: StartService failed: %lu\n", GetLastError());
            return 1;
        }
        if (!bench::waitForState(service.get(), SERVICE_RUNNING, kStateTimeoutMs)) {
            std::fprintf(stderr, "scm_stop: run %d never reached RUNNING\n", i);
            return 1;
        }
        phase += golden;
        phase -= static_cast<int>(phase);
        Sleep(kSettleMs + static_cast<DWORD>(phase * kSpreadMs));
        SERVICE_STATUS status{};
        const LONGLONG start = clock.now();
        if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
            std::fprintf(stderr, "scm_stop: ControlService failed: %lu\n", GetLastError());
            return 1;
        }
        if (!bench::waitForState(service.get(), SERVICE_STOPPED, kStateTimeoutMs)) {
            std::fprintf(stderr, "scm_stop: run %d never reached STOPPED\n", i);
            return 1;
        }
        samples.push_back(clock.millisecondsSince(start));
    }
    bench::report(key.c_str(), bench::summarise(samples), "ms");
    return 0;
}
