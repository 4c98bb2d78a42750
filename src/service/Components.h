#pragma once

#include <chrono>
#include <memory>
#include <string>

class DnsManager;
class VpnService;
class PipeServer;

// The long-lived service components. Each borrows the one created before it, so they are
// declared in creation order and a process exit destroys them in the reverse.
extern std::unique_ptr<DnsManager> g_dnsManager;
extern std::unique_ptr<VpnService> g_vpnService;
extern std::unique_ptr<PipeServer> g_pipeServer;

// The three points of the service main function that belong to the components.
void createComponents();
bool startComponents();
void shutdownComponents();

// A whole shut-down is given this long before the process is ended without it.
inline constexpr std::chrono::seconds kShutdownBound{30};

struct ShutdownOutcome {
    bool finished = false;
    // When it did not finish: what it was still waiting for.
    std::string stillRunning;
};

// Runs shutdownComponents on a thread of its own and waits for it up to `bound`, calling
// `progress` about once a second meanwhile. A shut-down that does not finish is left
// running; the caller ends the process.
ShutdownOutcome shutdownComponentsWithin(std::chrono::milliseconds bound, void (*progress)());
