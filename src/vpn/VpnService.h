#pragma once

#include "dns/OperationResult.h"
#include "vpn/LockAnnotations.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

class DnsManager;

struct VpnStatus {
    bool running = false;
};

// What a worker thread shares with its session: the running flag, set by the launch and
// cleared by the worker when the engine has returned. The worker co-owns it, so that a
// worker that had to be detached never writes into a session that has been destroyed.
struct WorkerState {
    std::atomic<bool> running{false};
};

// One stop sequence's calls of tun2proxy_stop, which says what each answered.
class EngineStopRequests {
public:
    void request();

private:
    bool noRunSaid = false;
};

// Launches, supervises and stops the tunnel engine's worker thread and orders the DNS
// isolation around it.
class VpnService {
public:
    explicit VpnService(DnsManager* dnsManager);
    ~VpnService();
    VpnService(const VpnService&) = delete;
    VpnService& operator=(const VpnService&) = delete;
    VpnService(VpnService&&) = delete;
    VpnService& operator=(VpnService&&) = delete;

    using StopBound = std::optional<std::chrono::milliseconds>;

    // A start that fails after the launch stops the engine again within `cleanupBound`, as
    // a bounded stop would: an engine still running then is left to end, and the answer
    // says so after the failure's own text.
    OperationResult start(StopBound cleanupBound = std::nullopt);
    // Without a bound it waits for the engine however long it takes: the shut-down's stop,
    // which the host bounds by ending the process. With one (a client's stop), an engine
    // still running at the bound is left to end, with the isolation kept in force, and the
    // stop fails saying so; a later stop finishes the sequence.
    OperationResult stop(StopBound bound = std::nullopt);
    bool isRunning() const;
    VpnStatus getStatus() const;

private:
    OperationResult startTun2proxy() ORVANET_REQUIRES(sequenceMutex);
    OperationResult undoStart(OperationResult failure, StopBound bound)
        ORVANET_REQUIRES(sequenceMutex);
    OperationResult stopTun2proxy(StopBound bound = std::nullopt) ORVANET_REQUIRES(sequenceMutex);
    // False if the worker still runs at the bound.
    bool waitForWorkerEnd(StopBound bound, EngineStopRequests& requests)
        ORVANET_REQUIRES(sequenceMutex);

    std::mutex mutex;
    std::shared_ptr<WorkerState> worker = std::make_shared<WorkerState>();
    std::thread workerThread ORVANET_GUARDED_BY(sequenceMutex);
    DnsManager* dnsManager ORVANET_PT_GUARDED_BY(sequenceMutex);
    // Serialises whole start and stop sequences. `mutex` is released while the isolation is
    // installed and while a stop sequence runs, so without this a shut-down stop could join
    // the worker together with the pipe thread's stop, or remove the isolation while start
    // installs it. Lock order: sequenceMutex, then mutex, then the log's own lock.
    AnnotatedMutex sequenceMutex;
};

// The worker's body and the engine's log bridge.
void tun2proxyThreadFunc(std::shared_ptr<WorkerState> state);
void tun2proxyLogCallback(std::int32_t level, const char* message, void* context);
