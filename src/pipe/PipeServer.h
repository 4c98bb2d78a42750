#pragma once

#include "platform/Owners.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <string>
#include <string_view>
#include <thread>

class PipeIo;
class VpnService;

// Serves the control pipe "\\.\pipe\Orvanet" on a thread of its own, one client at a
// time, one JSON request and one JSON response per connection. The one instance is kept
// for the whole run, so no other process can take the name between two clients.
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
    nlohmann::json processCommand(std::string_view text);
    nlohmann::json handleStart();
    nlohmann::json handleStop();
    nlohmann::json handleStatus();

    VpnService* vpnService;
    std::thread serverThread;
    std::atomic<bool> running{false};
    std::atomic<bool> stopRequested{false};

    // Manual-reset, set by stop() after the flag: every wait of the loop watches it, so a
    // stop that comes between the loop's test and its next wait is not lost.
    UniqueHandle stopEvent;

    void serveClient(PipeIo& io, char* buffer);
    nlohmann::json answer(std::string_view text);
};
