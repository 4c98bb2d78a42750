#include "service/Components.h"

#include "dns/DnsManager.h"
#include "log/Logger.h"
#include "pipe/PipeServer.h"
#include "vpn/VpnService.h"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

std::unique_ptr<DnsManager> g_dnsManager;
std::unique_ptr<VpnService> g_vpnService;
std::unique_ptr<PipeServer> g_pipeServer;

namespace {

// What the shut-down is doing now, for the report of one that does not finish.
std::atomic<const char*> g_shutdownStage{"nothing"};

// A stop that throws must not keep the rest of the shut-down from running: the pipe server
// and the session still have to go, and the service must still report STOPPED.
template <typename Step>
void guarded(const char* what, Step step) {
    try {
        step();
    } catch (const std::exception& e) {
        logError("Exception during shutdown in {}: {}", what, e.what());
    } catch (...) {
        logError("Unknown exception during shutdown in {}", what);
    }
}

} // namespace

void createComponents() {
    g_dnsManager = std::make_unique<DnsManager>();
    g_vpnService = std::make_unique<VpnService>(g_dnsManager.get());
    g_pipeServer = std::make_unique<PipeServer>(g_vpnService.get());
}

bool startComponents() {
    if (!g_pipeServer->start()) {
        logError("Failed to start pipe server");
        return false;
    }
    return true;
}

void shutdownComponents() {
    // The VPN goes first, while the pipe server can still answer its clients.
    g_shutdownStage = "VpnService::stop (the tunnel engine has not ended)";
    if (g_vpnService && g_vpnService->isRunning()) {
        logInfo("Stopping VPN...");
        guarded("VpnService::stop", [] { g_vpnService->stop(); });
    }
    g_shutdownStage = "PipeServer::stop";
    if (g_pipeServer) {
        guarded("PipeServer::stop", [] { g_pipeServer->stop(); });
        g_pipeServer.reset();
    }
    g_shutdownStage = "the VpnService destructor (the tunnel engine has not ended)";
    g_vpnService.reset();
    g_shutdownStage = "nothing";
}

ShutdownOutcome shutdownComponentsWithin(std::chrono::milliseconds bound, void (*progress)()) {
    struct Completion {
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
    };
    // Shared, so that a shut-down left running past the bound still has it to write to.
    auto completion = std::make_shared<Completion>();
    std::thread worker([completion] {
        guarded("the shut-down", [] { shutdownComponents(); });
        std::lock_guard lock(completion->mutex);
        completion->done = true;
        completion->finished.notify_all();
    });

    const auto deadline = std::chrono::steady_clock::now() + bound;
    std::unique_lock lock(completion->mutex);
    while (!completion->done) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            break;
        }
        const auto slice =
            std::min<std::chrono::steady_clock::duration>(deadline - now, std::chrono::seconds(1));
        if (!completion->finished.wait_for(lock, slice, [&] { return completion->done; }) &&
            progress != nullptr) {
            progress();
        }
    }
    if (completion->done) {
        lock.unlock();
        worker.join();
        return {true, {}};
    }
    lock.unlock();
    worker.detach();
    return {false, g_shutdownStage.load()};
}
