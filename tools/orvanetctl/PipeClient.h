#pragma once

#include "platform/Owners.h"

#include <windows.h>

#include <chrono>
#include <cstddef>
#include <string>

// One connection to a named pipe: open it (waiting a bounded time while another client
// holds the one instance), ask who serves it, send one request and read the one response
// until the server disconnects.
class PipeClient {
public:
    enum class Opened { Connected, NotServed, Busy, Failed };

    struct Exchange {
        bool answered = false;
        std::string response;
        std::string error; // why nothing usable came back
    };

    // notServedWait covers the moment between two pipe instances, when the name is gone: it
    // runs from the first "not found" of each such gap, within the overall busyWait bound.
    Opened open(const std::wstring& pipeName, std::chrono::milliseconds busyWait,
                std::chrono::milliseconds notServedWait);
    DWORD openError() const { return lastError; }

    // The process that created the server end; 0 when the platform does not say.
    DWORD serverProcessId() const;

    // A response longer than responseLimit bytes is no answer.
    Exchange exchange(const std::string& request, std::chrono::milliseconds responseWait,
                      std::size_t responseLimit);

private:
    bool waitFor(OVERLAPPED& overlapped, std::chrono::steady_clock::time_point deadline,
                 DWORD& transferred, DWORD& error);

    UniqueHandle pipe;
    DWORD lastError = 0;
};
