#include "VpnDouble.h"

#include "vpn/VpnService.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>

namespace {

struct NonStandardError {
    int code = 0;
};

struct Script {
    std::mutex mutex;
    std::condition_variable changed;
    OperationResult startResult = OperationResult::ok();
    OperationResult stopResult = OperationResult::ok();
    vpndouble::Throws startThrow = vpndouble::Throws::Nothing;
    std::string throwText;
    bool running = false;
    bool blockStart = false;
    bool startEntered = false;
    int startCalls = 0;
    int stopCalls = 0;
    int statusCalls = 0;
    VpnService::StopBound stopBound;
    VpnService::StopBound startBound;
};

Script& script() {
    static Script instance;
    return instance;
}

} // namespace

namespace vpndouble {

void reset() {
    Script& s = script();
    std::lock_guard lock(s.mutex);
    s.startResult = OperationResult::ok();
    s.stopResult = OperationResult::ok();
    s.startThrow = Throws::Nothing;
    s.throwText.clear();
    s.running = false;
    s.blockStart = false;
    s.startEntered = false;
    s.startCalls = 0;
    s.stopCalls = 0;
    s.statusCalls = 0;
    s.stopBound.reset();
    s.startBound.reset();
    s.changed.notify_all();
}

void startAnswers(OperationResult result) {
    std::lock_guard lock(script().mutex);
    script().startResult = std::move(result);
}

void stopAnswers(OperationResult result) {
    std::lock_guard lock(script().mutex);
    script().stopResult = std::move(result);
}

void startThrows(Throws kind, std::string text) {
    std::lock_guard lock(script().mutex);
    script().startThrow = kind;
    script().throwText = std::move(text);
}

void setRunning(bool running) {
    std::lock_guard lock(script().mutex);
    script().running = running;
}

void blockStart() {
    std::lock_guard lock(script().mutex);
    script().blockStart = true;
    script().startEntered = false;
}

bool waitStartEntered(int timeoutMs) {
    Script& s = script();
    std::unique_lock lock(s.mutex);
    return s.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return s.startEntered; });
}

void release() {
    std::lock_guard lock(script().mutex);
    script().blockStart = false;
    script().changed.notify_all();
}

int startCalls() {
    std::lock_guard lock(script().mutex);
    return script().startCalls;
}

int stopCalls() {
    std::lock_guard lock(script().mutex);
    return script().stopCalls;
}

std::optional<std::chrono::milliseconds> lastStopBound() {
    std::lock_guard lock(script().mutex);
    return script().stopBound;
}

std::optional<std::chrono::milliseconds> lastStartBound() {
    std::lock_guard lock(script().mutex);
    return script().startBound;
}

int statusCalls() {
    std::lock_guard lock(script().mutex);
    return script().statusCalls;
}

} // namespace vpndouble

VpnService::VpnService(DnsManager* dnsManager) : dnsManager(dnsManager) {}

VpnService::~VpnService() = default;

OperationResult VpnService::start(StopBound cleanupBound) {
    Script& s = script();
    std::unique_lock lock(s.mutex);
    ++s.startCalls;
    s.startBound = cleanupBound;
    if (s.blockStart) {
        s.startEntered = true;
        s.changed.notify_all();
        s.changed.wait(lock, [&] { return !s.blockStart; });
    }
    switch (s.startThrow) {
    case vpndouble::Throws::StdRuntimeError:
        throw std::runtime_error(s.throwText);
    case vpndouble::Throws::NonStandard:
        throw NonStandardError{7};
    case vpndouble::Throws::Nothing:
        break;
    }
    if (s.startResult.success) {
        s.running = true;
    }
    return s.startResult;
}

OperationResult VpnService::stop(StopBound bound) {
    Script& s = script();
    std::lock_guard lock(s.mutex);
    ++s.stopCalls;
    s.stopBound = bound;
    if (s.stopResult.success) {
        s.running = false;
    }
    return s.stopResult;
}

bool VpnService::isRunning() const {
    std::lock_guard lock(script().mutex);
    return script().running;
}

VpnStatus VpnService::getStatus() const {
    Script& s = script();
    std::lock_guard lock(s.mutex);
    ++s.statusCalls;
    return VpnStatus{s.running};
}
