#pragma once

#include "dns/OperationResult.h"

#include <atomic>
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

    std::mutex mutex;
    std::atomic<bool> running{false};
    std::thread workerThread;
    DnsManager* dnsManager;
    // (further members for the stop serialisation and launch counter go after these)
};
