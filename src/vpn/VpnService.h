#pragma once

#include "dns/OperationResult.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

class DnsManager;

struct VpnStatus {
    bool running = false;
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

    OperationResult start();
    OperationResult stop();
    bool isRunning() const;
    VpnStatus getStatus() const;

private:
    friend void tun2proxyThreadFunc(VpnService* service);

    OperationResult startTun2proxy();
    OperationResult stopTun2proxy();
    void waitForWorkerEnd();

    std::mutex mutex;
    std::atomic<bool> running{false};
    std::thread workerThread;
    DnsManager* dnsManager;
    // Serialises whole start and stop sequences. `mutex` is released while the isolation is
    // installed and while a stop sequence runs, so without this a shut-down stop could join
    // the worker together with the pipe thread's stop, or remove the isolation while start
    // installs it. Lock order: sequenceMutex, then mutex, then the log's own lock.
    std::mutex sequenceMutex;
};

// The worker's body and the engine's log bridge.
void tun2proxyThreadFunc(VpnService* service);
void tun2proxyLogCallback(std::int32_t level, const char* message, void* context);
