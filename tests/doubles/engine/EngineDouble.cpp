#include "EngineDouble.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace {

struct State {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<enginedouble::Program> programs;
    std::vector<std::int32_t> stopCodes;
    std::size_t stopCodesUsed = 0;
    std::optional<std::string> stopThrow;
    std::function<void()> stopHook;
    std::vector<std::string> journal;
    std::vector<enginedouble::RunCall> runs;
    std::uint64_t stopGeneration = 0;
    std::uint64_t releaseGeneration = 0;
    int inProgress = 0;
    Tun2proxyLogCallback callback = nullptr;
    void* context = nullptr;
    OperationResult loadAnswer = OperationResult::ok();
    int loadCalls = 0;
};

State& state() {
    static State s;
    return s;
}

std::string text(const char* value) {
    return value != nullptr ? value : "(none)";
}

void sendLines(const std::vector<enginedouble::LogLine>& lines, int threads) {
    Tun2proxyLogCallback callback = nullptr;
    void* context = nullptr;
    {
        std::lock_guard lock(state().mutex);
        callback = state().callback;
        context = state().context;
    }
    if (callback == nullptr || lines.empty()) {
        return;
    }
    std::vector<std::thread> engineThreads;
    for (int t = 0; t < threads; ++t) {
        engineThreads.emplace_back([&] {
            for (const auto& line : lines) {
                callback(line.level, line.message ? line.message->c_str() : nullptr, context);
            }
        });
    }
    for (auto& thread : engineThreads) {
        thread.join();
    }
}

void finishRun(const char* how) {
    std::lock_guard lock(state().mutex);
    state().journal.push_back(how);
    --state().inProgress;
    state().changed.notify_all();
}

} // namespace

extern "C" {

std::int32_t tun2proxy_with_name_run(const char* proxyUrl, const char* tunName, const char* bypass,
                                     std::int32_t dnsStrategy, bool rootPrivilege,
                                     std::int32_t verbosity) {
    using End = enginedouble::Program::End;
    enginedouble::Program program;
    std::uint64_t firstStop = 0;
    std::uint64_t firstRelease = 0;
    {
        std::lock_guard lock(state().mutex);
        state().journal.push_back("run");
        state().runs.push_back(
            {text(proxyUrl), text(tunName), text(bypass), dnsStrategy, rootPrivilege, verbosity});
        if (!state().programs.empty()) {
            program = std::move(state().programs.front());
            state().programs.pop_front();
        }
        firstStop = state().stopGeneration;
        firstRelease = state().releaseGeneration;
        ++state().inProgress;
        state().changed.notify_all();
    }
    sendLines(program.lines, program.lineThreads);
    if (program.onRun) {
        program.onRun();
    }

    switch (program.end) {
    case End::AtOnce:
        break;
    case End::Throws:
        finishRun("run threw");
        throw std::runtime_error(program.what);
    case End::ThrowsUnknown:
        finishRun("run threw");
        throw 42;
    case End::OnStop:
    case End::AfterDelay: {
        const auto deadline = std::chrono::steady_clock::now() + program.delay;
        std::unique_lock lock(state().mutex);
        const auto ended = [&] {
            const std::uint64_t stops = state().stopGeneration - firstStop;
            return state().releaseGeneration != firstRelease ||
                   (program.stopsIgnored != INT_MAX &&
                    stops > static_cast<std::uint64_t>(program.stopsIgnored));
        };
        if (program.end == End::OnStop) {
            state().changed.wait(lock, ended);
        } else {
            state().changed.wait_until(lock, deadline, ended);
        }
        break;
    }
    }
    finishRun("run returned");
    return program.code;
}

std::int32_t tun2proxy_stop() {
    std::function<void()> hook;
    {
        std::lock_guard lock(state().mutex);
        state().journal.push_back("stop");
        if (state().stopThrow) {
            const std::string what = *state().stopThrow;
            state().stopThrow.reset();
            throw std::runtime_error(what);
        }
        hook = std::move(state().stopHook);
        state().stopHook = nullptr;
    }
    if (hook) {
        hook();
    }
    std::lock_guard lock(state().mutex);
    ++state().stopGeneration;
    state().changed.notify_all();
    if (state().stopCodesUsed < state().stopCodes.size()) {
        return state().stopCodes[state().stopCodesUsed++];
    }
    return 0;
}

void tun2proxy_set_log_callback(Tun2proxyLogCallback callback, void* context) {
    std::lock_guard lock(state().mutex);
    state().journal.push_back("set_log_callback");
    state().callback = callback;
    state().context = context;
}

} // extern "C"

OperationResult loadTun2proxy() {
    std::lock_guard lock(state().mutex);
    ++state().loadCalls;
    return state().loadAnswer;
}

namespace enginedouble {

void reset() {
    std::lock_guard lock(state().mutex);
    State& s = state();
    s.programs.clear();
    s.stopCodes.clear();
    s.stopCodesUsed = 0;
    s.stopThrow.reset();
    s.stopHook = nullptr;
    s.journal.clear();
    s.runs.clear();
    s.callback = nullptr;
    s.context = nullptr;
    s.loadAnswer = OperationResult::ok();
    s.loadCalls = 0;
}

void queue(Program program) {
    std::lock_guard lock(state().mutex);
    state().programs.push_back(std::move(program));
}

void stopAnswers(std::vector<std::int32_t> codes) {
    std::lock_guard lock(state().mutex);
    state().stopCodes = std::move(codes);
    state().stopCodesUsed = 0;
}

void stopThrowsOnce(std::string what) {
    std::lock_guard lock(state().mutex);
    state().stopThrow = std::move(what);
}

void onStop(std::function<void()> hook) {
    std::lock_guard lock(state().mutex);
    state().stopHook = std::move(hook);
}

void releaseAll() {
    std::lock_guard lock(state().mutex);
    ++state().releaseGeneration;
    state().changed.notify_all();
}

void loadAnswers(OperationResult result) {
    std::lock_guard lock(state().mutex);
    state().loadAnswer = std::move(result);
}

int loadCalls() {
    std::lock_guard lock(state().mutex);
    return state().loadCalls;
}

std::vector<std::string> journal() {
    std::lock_guard lock(state().mutex);
    return state().journal;
}

std::vector<RunCall> runs() {
    std::lock_guard lock(state().mutex);
    return state().runs;
}

int stopCalls() {
    std::lock_guard lock(state().mutex);
    int count = 0;
    for (const auto& entry : state().journal) {
        count += entry == "stop" ? 1 : 0;
    }
    return count;
}

int runsInProgress() {
    std::lock_guard lock(state().mutex);
    return state().inProgress;
}

bool waitForRunsInProgress(int count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(state().mutex);
    return state().changed.wait_for(lock, timeout, [&] { return state().inProgress == count; });
}

Tun2proxyLogCallback registeredCallback() {
    std::lock_guard lock(state().mutex);
    return state().callback;
}

void* registeredContext() {
    std::lock_guard lock(state().mutex);
    return state().context;
}

} // namespace enginedouble
