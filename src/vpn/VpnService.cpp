#include "vpn/VpnService.h"

#include "dns/DnsManager.h"
#include "log/EventLog.h"
#include "log/Logger.h"
#include "vpn/Tun2proxy.h"
#include "vpn/TunnelParameters.h"

#include <chrono>
#include <exception>
#include <system_error>

namespace {

using Clock = std::chrono::steady_clock;

void sleepUntil(Clock::time_point deadline) {
    // A sleep may end early; the grace period must be the whole of it on a steady clock.
    for (auto now = Clock::now(); now < deadline; now = Clock::now()) {
        std::this_thread::sleep_for(deadline - now);
    }
}

// A start that failed is one of the few events administrators see; its text is the answer
// the client gets.
OperationResult startFailed(OperationResult result) {
    EventLog::instance().report(ServiceEvent::StartFailed, {result.error});
    return result;
}

} // namespace

void EngineStopRequests::request() {
    const std::int32_t code = tun2proxy_stop();
    // -1: no run holds the engine's stop token, because the run has not begun yet, has
    // ended, or an earlier call took the token. A stop that waits for a slow engine meets it
    // at every repeat, so it is said once.
    if (code == -1) {
        if (!noRunSaid) {
            noRunSaid = true;
            logInfo("VpnService::stopTun2proxy - tun2proxy_stop() returned -1: no run to stop "
                    "(not begun yet, ended, or already told)");
        }
        return;
    }
    if (code != 0) {
        Logger::instance().log(LogLevel::Warn,
                               "VpnService::stopTun2proxy - tun2proxy_stop() returned non-zero: {}",
                               code);
    }
}

VpnService::VpnService(DnsManager* dnsManager) : dnsManager(dnsManager) {}

VpnService::~VpnService() {
    try {
        const OperationResult result = stop();
        if (!result.success) {
            Logger::instance().log(LogLevel::Warn, "VpnService destructor: stop failed: {}",
                                   result.error);
        }
    } catch (const std::exception& e) {
        try {
            logError("VpnService destructor: exception in stop(): {}", e.what());
        } catch (...) {
        }
    } catch (...) {
        try {
            logError("VpnService destructor: unknown exception in stop()");
        } catch (...) {
        }
    }
    // Only a stop that failed before its join leaves the worker joinable; destroying a
    // joinable thread would end the process, and the worker still refers to this object.
    if (workerThread.joinable()) {
        try {
            logError("VpnService destructor: worker thread still joinable, stopping it again");
            EngineStopRequests requests;
            requests.request();
            waitForWorkerEnd(std::nullopt, requests);
            workerThread.join();
        } catch (...) {
        }
        if (workerThread.joinable()) {
            workerThread.detach();
        }
    }
}

OperationResult VpnService::start(StopBound cleanupBound) {
    logInfo("VpnService::start - Entry");
    // Held to the end, so that no stop sequence can run between the launch and the
    // isolation: a stopped engine must never be reported started with DNS blocked.
    AnnotatedLock sequence(sequenceMutex);
    std::unique_lock lock(mutex);
    if (worker->running.load()) {
        // The VPN runs: nothing for an administrator to act on.
        return OperationResult::failure("VPN already running");
    }
    logInfo("VpnService::start - Starting tun2proxy...");
    OperationResult launched = startTun2proxy();
    if (!launched.success) {
        // Refused for a state the client clears itself (the engine ended by itself: stop
        // first), which a client may meet at every try: nothing for an administrator.
        if (workerThread.joinable() && !worker->running.load()) {
            return launched;
        }
        return startFailed(std::move(launched));
    }
    lock.unlock();

    logInfo("VpnService::start - Applying DNS isolation...");
    // The interface is the engine's to make: once the engine has ended, waiting on is waiting
    // for nothing.
    const std::shared_ptr<WorkerState> state = worker;
    OperationResult isolation = dnsManager->applyIsolation(
        tunnel::interfaceName, [&state] { return state->running.load(); });

    lock.lock();
    // The interface wait alone may take seconds: an engine that ended meanwhile must not be
    // reported started, with its filters blocking DNS everywhere and the next start refused;
    // and a wait it cut short is its ending, not the interface's fault.
    if (!worker->running.load()) {
        logError("VpnService::start - Thread exited prematurely");
        return startFailed(undoStart(
            OperationResult::failure("tun2proxy thread exited prematurely"), cleanupBound));
    }
    if (!isolation.success) {
        return startFailed(undoStart(std::move(isolation), cleanupBound));
    }
    logInfo("VpnService::start - VPN started successfully");
    return OperationResult::ok();
}

OperationResult VpnService::undoStart(OperationResult failure, StopBound bound) {
    const OperationResult stopped = stopTun2proxy(bound);
    if (!stopped.success) {
        failure.error += "; " + stopped.error;
    }
    return failure;
}

OperationResult VpnService::stop(StopBound bound) {
    logInfo("VpnService::stop - Entry");
    // The sequence lock is taken before the test: a second stop that waited for the first
    // finds nothing left to stop instead of stopping the engine and the isolation again.
    AnnotatedLock sequence(sequenceMutex);
    std::unique_lock lock(mutex);
    if (!worker->running.load() && !workerThread.joinable()) {
        logInfo("VpnService::stop - VPN already stopped");
        return OperationResult::ok();
    }
    lock.unlock();
    OperationResult result = stopTun2proxy(bound);
    sequence.unlock();

    lock.lock();
    if (result.success) {
        logInfo("VpnService::stop - Completed");
        return OperationResult::ok();
    }
    logError("VpnService::stop - Failed to stop tun2proxy: {}", result.error);
    return result;
}

bool VpnService::isRunning() const {
    return worker->running.load();
}

VpnStatus VpnService::getStatus() const {
    return VpnStatus{worker->running.load()};
}

OperationResult VpnService::startTun2proxy() {
    logInfo("VpnService::startTun2proxy - Starting thread...");
    // Before the first call into the engine, which would otherwise bind to a library that
    // is missing or lacks it.
    OperationResult engine = loadTun2proxy();
    if (!engine.success) {
        logError("VpnService::startTun2proxy - {}", engine.error);
        return engine;
    }
    tun2proxy_set_log_callback(&tun2proxyLogCallback, nullptr);
    logInfo("VpnService::startTun2proxy - Log callback set");

    if (workerThread.joinable()) {
        if (worker->running.load()) {
            logError("VpnService::startTun2proxy - Previous instance still running");
            return OperationResult::failure("previous instance still running");
        }
        logError("VpnService::startTun2proxy - Previous thread still joinable (may be stopping)");
        return OperationResult::failure("previous instance still stopping - call stop() first");
    }

    worker->running.store(true);
    try {
        workerThread = std::thread(tun2proxyThreadFunc, worker);
    } catch (...) {
        worker->running.store(false);
        throw;
    }
    sleepUntil(Clock::now() + tunnel::gracePeriod);

    if (worker->running.load()) {
        logInfo("VpnService::startTun2proxy - Thread started successfully");
        return OperationResult::ok();
    }
    logError("VpnService::startTun2proxy - Thread exited prematurely");
    if (workerThread.joinable()) {
        workerThread.join();
    }
    return OperationResult::failure("tun2proxy thread exited prematurely");
}

OperationResult VpnService::stopTun2proxy(StopBound bound) {
    logInfo("VpnService::stopTun2proxy - Stopping...");
    logInfo("VpnService::stopTun2proxy - Calling tun2proxy_stop()...");
    EngineStopRequests requests;
    requests.request();

    if (workerThread.joinable()) {
        logInfo("VpnService::stopTun2proxy - Waiting for thread to finish...");
        if (!waitForWorkerEnd(bound, requests)) {
            // The worker is neither joined nor detached: it ends in its own time, and the
            // isolation, where there is one, stays in force until a later stop finds it ended.
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(*bound);
            if (!dnsManager->isolationActive()) {
                return OperationResult::failure(
                    orvanet::format("tun2proxy did not stop within {} seconds - call stop() again",
                                    seconds.count()));
            }
            return OperationResult::failure(orvanet::format(
                "tun2proxy did not stop within {} seconds; DNS stays blocked until it does - "
                "call stop() again",
                seconds.count()));
        }
        try {
            workerThread.join();
        } catch (const std::system_error& e) {
            // The worker may still be inside the engine, so the isolation stays in force; a
            // later stop removes it. Detached, the thread can no longer end the process.
            logError("VpnService::stopTun2proxy - Failed to join thread: {}", e.what());
            if (workerThread.joinable()) {
                workerThread.detach();
            }
            throw;
        }
        logInfo("VpnService::stopTun2proxy - Thread finished");
    }

    const OperationResult restored = dnsManager->restore();
    if (!restored.success) {
        Logger::instance().log(LogLevel::Warn,
                               "VpnService::stopTun2proxy - Failed to restore DNS: {}",
                               restored.error);
    }
    logInfo("VpnService::stopTun2proxy - Stopped");
    return OperationResult::ok();
}

bool VpnService::waitForWorkerEnd(StopBound bound, EngineStopRequests& requests) {
    // The worker cannot wait for itself; the join below reports that.
    if (workerThread.get_id() == std::this_thread::get_id()) {
        return true;
    }
    const Clock::time_point begin = Clock::now();
    Clock::time_point nextRequest = begin + tunnel::stopRepeatInterval;
    while (worker->running.load()) {
        if (bound && Clock::now() - begin >= *bound) {
            return false;
        }
        std::this_thread::sleep_for(tunnel::stopPollInterval);
        const Clock::time_point now = Clock::now();
        if (worker->running.load() && now >= nextRequest) {
            const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(now - begin);
            Logger::instance().log(
                LogLevel::Warn,
                "VpnService::stopTun2proxy - Thread still running after {} ms, calling "
                "tun2proxy_stop() again",
                waited.count());
            requests.request();
            nextRequest = now + tunnel::stopRepeatInterval;
        }
    }
    return true;
}
