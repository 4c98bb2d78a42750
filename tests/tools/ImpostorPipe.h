#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

// A pipe server of the test's own under the service's pipe name: it answers any request
// with a success response, as an impostor would, and records what reached it.
class ImpostorPipe {
public:
    // holdFirstMs >= 0: the first client is kept connected, unread, for that long, so
    // that others find the one instance busy. gapMs: after the first client the name is
    // gone for that long before the next instance exists, as between two instances.
    explicit ImpostorPipe(std::wstring name, int holdFirstMs = -1, int gapMs = 0,
                          std::string reply = defaultAnswer);
    ~ImpostorPipe();
    ImpostorPipe(const ImpostorPipe&) = delete;
    ImpostorPipe& operator=(const ImpostorPipe&) = delete;

    int connections() const { return connected.load(); }
    // Waits (bounded) until at least `count` clients have connected, and returns the count:
    // the client under test may be done before this server's thread has counted it.
    int connectionsAtLeast(int count, DWORD timeoutMs = 5000) const;
    std::string received() const;

    static constexpr const char* defaultAnswer =
        "{\"message\":\"VPN started successfully\",\"status\":\"ok\"}";

private:
    void serve();
    bool waitOrStop(HANDLE event, DWORD ms);
    void serveOne(HANDLE pipe, bool hold);
    // Ends an overlapped operation that is still pending, so that its OVERLAPPED and buffer
    // may go: cancelled, and if that does not end it, the client disconnected.
    static void endPending(HANDLE pipe, OVERLAPPED& overlapped);

    std::wstring name;
    int holdFirstMs;
    int gapMs;
    std::string answer;
    HANDLE stopEvent;
    HANDLE readyEvent;
    std::atomic<int> connected{0};
    mutable std::mutex mutex;
    std::string bytes;
    std::thread thread;
};
