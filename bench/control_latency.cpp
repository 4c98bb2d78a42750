// Start and stop through the control pipe, timed from the request sent to the answer read,
// with the TUN interface already present. The "active" round trip of the same runs is the
// baseline: what an exchange costs when the command itself does next to nothing.
#include "PipeExchange.h"
#include "Stats.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const std::wstring kPipe = L"\\\\.\\pipe\\Orvanet";
// The service waits this long after launching the engine before it trusts it.
constexpr double kGraceMs = 500.0;

bool timed(const bench::Clock& clock, const char* request, const char* expected,
           std::vector<double>& samples) {
    std::string response;
    DWORD error = 0;
    const LONGLONG start = clock.now();
    const bool ok = bench::exchange(kPipe, request, response, error);
    const double elapsed = clock.millisecondsSince(start);
    if (!ok) {
        std::fprintf(stderr, "control_latency: %s failed: %lu\n", request, error);
        return false;
    }
    if (response.find(expected) == std::string::npos) {
        std::fprintf(stderr, "control_latency: %s answered %s\n", request, response.c_str());
        return false;
    }
    samples.push_back(elapsed);
    return true;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const int runs = argc > 1 ? _wtoi(argv[1]) : 30;
    if (runs <= 0) {
        std::fprintf(stderr, "usage: control_latency [RUNS]\n");
        return 2;
    }
    const bench::Clock clock;
    std::vector<double> starts;
    std::vector<double> stops;
    std::vector<double> actives;
    for (int i = 0; i < runs; ++i) {
        if (!timed(clock, R"({"command":"start"})", "VPN started successfully", starts) ||
            !timed(clock, R"({"command":"active"})", R"("running":true)", actives) ||
            !timed(clock, R"({"command":"stop"})", "VPN stopped successfully", stops) ||
            !timed(clock, R"({"command":"active"})", R"("running":false)", actives)) {
            return 1;
        }
        starts.back() -= kGraceMs;
    }
    bench::report("start_latency", bench::summarise(starts), "ms");
    bench::report("stop_latency", bench::summarise(stops), "ms");
    bench::report("control_active_rt", bench::summarise(actives), "ms");
    return 0;
}
