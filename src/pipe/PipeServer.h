#pragma once

#include <nlohmann/json.hpp>

#include <atomic>
#include <thread>

class VpnService;

// Serves the control pipe "\\.\pipe\Orvanet" on a thread of its own, one client at a
// time, one JSON request and one JSON response per connection.
class PipeServer {
public:
    explicit PipeServer(VpnService* vpnService);
    ~PipeServer();
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;

    bool start();
    void stop();

private:
    void serverLoop();
    nlohmann::json processCommand(const nlohmann::json& request);
    nlohmann::json handleStart(const nlohmann::json& request);
    nlohmann::json handleStop();
    nlohmann::json handleStatus();

    VpnService* vpnService;
    std::thread serverThread;
    std::atomic<bool> running{false};
    std::atomic<bool> stopRequested{false};
    // (further members, such as a stop event, go after these)
};
