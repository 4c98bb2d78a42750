// Start and stop through the control pipe, timed from the request sent to the answer read,
// with the TUN interface already present, and each taken apart into its steps by the times
// at which the service's own log lines for them appear. The "active" round trips made
// between them, in the same runs, are the baseline: an exchange whose command does next to
// nothing.
#include "LogWatch.h"
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
constexpr DWORD kLinePatienceMs = 5000;

// A command's steps: the lines that end each one, in the order the service writes them.
struct Step {
    const char* key;
    const char* endLine;
};

// A line is stamped up to a poll after its write, so each command is split at one line
// only, between two steps of several milliseconds: the split moves by that much at most,
// and no step comes out shorter than it was. The grace is inside the first step of a start
// and is taken out of it. The last step ends with the answer read.
const Step kStartSteps[] = {
    {"start_launch", "VpnService::start - Applying DNS isolation..."},
    {"start_isolation", nullptr},
};
const Step kStopSteps[] = {
    {"stop_engine", "VpnService::stopTun2proxy - Thread finished"},
    {"stop_isolation", nullptr},
};
constexpr std::size_t kSteps = 2;

struct Timed {
    std::vector<double> whole;
    std::vector<double> steps[kSteps];
    std::vector<double> shares[kSteps];
};

class Runner {
public:
    explicit Runner(bench::LogWatch& watch) : watch(watch) {}

    bool exchange(const char* request, const char* expected, LONGLONG& sent, LONGLONG& read) {
        std::string response;
        DWORD error = 0;
        sent = clock.now();
        const bool ok = bench::exchange(kPipe, request, response, error);
        read = clock.now();
        if (!ok) {
            std::fprintf(stderr, "control_latency: %s failed: %lu\n", request, error);
            return false;
        }
        if (response.find(expected) == std::string::npos) {
            std::fprintf(stderr, "control_latency: %s answered %s\n", request, response.c_str());
            return false;
        }
        return true;
    }

    bool active(bool running, std::vector<double>* samples) {
        LONGLONG sent = 0;
        LONGLONG read = 0;
        if (!exchange(R"({"command":"active"})",
                      running ? R"("running":true)" : R"("running":false)", sent, read)) {
            return false;
        }
        if (samples != nullptr) {
            samples->push_back(ms(read - sent));
        }
        return true;
    }

    // One command, its steps read from the log; nothing is kept when `into` is null.
    bool command(const char* request, const char* expected, const Step (&steps)[kSteps],
                 double graceMs, Timed* into) {
        LONGLONG sent = 0;
        LONGLONG read = 0;
        if (!exchange(request, expected, sent, read)) {
            return false;
        }
        LONGLONG ends[kSteps] = {};
        LONGLONG previous = sent;
        for (std::size_t i = 0; i < kSteps; ++i) {
            ends[i] = steps[i].endLine == nullptr
                          ? read
                          : watch.waitFor(steps[i].endLine, previous, kLinePatienceMs);
            if (ends[i] == 0) {
                std::fprintf(stderr, "control_latency: no line \"%s\" after %s\n", steps[i].endLine,
                             request);
                return false;
            }
            previous = ends[i];
        }
        if (into == nullptr) {
            return true;
        }
        const double whole = ms(read - sent) - graceMs;
        into->whole.push_back(whole);
        previous = sent;
        for (std::size_t i = 0; i < kSteps; ++i) {
            const double step = ms(ends[i] - previous) - (i == 0 ? graceMs : 0.0);
            into->steps[i].push_back(step);
            into->shares[i].push_back(whole > 0 ? step / whole : 0);
            previous = ends[i];
        }
        return true;
    }

private:
    double ms(LONGLONG ticks) const { return clock.milliseconds(ticks); }

    const bench::Clock clock;
    bench::LogWatch& watch;
};

void reportCommand(const char* key, const Timed& timed, const Step (&steps)[kSteps]) {
    bench::report(key, bench::summarise(timed.whole), "ms");
    for (std::size_t i = 0; i < kSteps; ++i) {
        bench::report(steps[i].key, bench::summarise(timed.steps[i]), "ms");
        bench::report((std::string(steps[i].key) + "_share").c_str(),
                      bench::summarise(timed.shares[i]), "share");
    }
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3 || _wtoi(argv[1]) <= 0) {
        std::fprintf(stderr, "usage: control_latency RUNS LOGFILE\n");
        return 2;
    }
    const int runs = _wtoi(argv[1]);
    bench::LogWatch watch(argv[2]);
    if (!watch.start()) {
        std::fprintf(stderr, "control_latency: cannot watch the log: %lu\n", GetLastError());
        return 1;
    }
    Runner runner(watch);
    Timed starts;
    Timed stops;
    std::vector<double> actives;
    // The first cycle loads what the later ones find ready, and is not counted.
    for (int i = -1; i < runs; ++i) {
        const bool counted = i >= 0;
        if (!runner.command(R"({"command":"start"})", "VPN started successfully", kStartSteps,
                            kGraceMs, counted ? &starts : nullptr) ||
            !runner.active(true, counted ? &actives : nullptr) ||
            !runner.command(R"({"command":"stop"})", "VPN stopped successfully", kStopSteps, 0,
                            counted ? &stops : nullptr) ||
            !runner.active(false, counted ? &actives : nullptr)) {
            return 1;
        }
    }
    reportCommand("start_latency", starts, kStartSteps);
    reportCommand("stop_latency", stops, kStopSteps);
    bench::report("control_active_rt", bench::summarise(actives), "ms");
    return 0;
}
