#pragma once

#include "vpn/Tun2proxy.h"

#include <chrono>
#include <climits>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Link-time replacement of the tunnel engine. Each run call follows the next queued
// program (or, when none is queued, blocks until stopped and returns 0). Thread-safe.
namespace enginedouble {

struct LogLine {
    std::int32_t level = 3;
    std::optional<std::string> message; // empty: a null pointer
};

struct Program {
    enum class End {
        OnStop,        // blocks until a stop call that it does not ignore, then returns `code`
        AtOnce,        // returns `code` without blocking
        AfterDelay,    // returns `code` after `delay`, or earlier on a stop
        Throws,        // throws std::runtime_error(`what`)
        ThrowsUnknown, // throws an int
    };
    End end = End::OnStop;
    std::int32_t code = 0;
    std::chrono::milliseconds delay{0};
    int stopsIgnored = 0; // stop calls that leave the run blocked; INT_MAX: never ends by a stop
    std::string what = "engine failure";
    // Sent through the registered callback when the run begins, all of them from each of
    // `lineThreads` threads of the engine at once.
    std::vector<LogLine> lines;
    int lineThreads = 1;
    // Runs on the worker thread inside the run call, before it blocks.
    std::function<void()> onRun;
};

struct RunCall {
    std::string proxyUrl;
    std::string tunName;
    std::string bypass;
    std::int32_t dnsStrategy = 0;
    bool rootPrivilege = true;
    std::int32_t verbosity = 0;
};

void reset();
void queue(Program program);
// What stop calls answer, in order; once the list is used up they answer 0.
void stopAnswers(std::vector<std::int32_t> codes);
// The next stop call throws std::runtime_error(what) before it has any effect.
void stopThrowsOnce(std::string what);
// Runs `hook` inside the next stop call (for instance to look at the platform then).
void onStop(std::function<void()> hook);
// Ends every blocked run, ignoring stop counts: the cleanup for engines that never end.
void releaseAll();
// What loadTun2proxy answers from now on (success until set), as for a missing library.
void loadAnswers(OperationResult result);
int loadCalls();

// The order of the calls: "set_log_callback", "run", "run returned", "stop".
std::vector<std::string> journal();
std::vector<RunCall> runs();
int stopCalls();
int runsInProgress();
bool waitForRunsInProgress(int count, std::chrono::milliseconds timeout);
Tun2proxyLogCallback registeredCallback();
void* registeredContext();

} // namespace enginedouble
