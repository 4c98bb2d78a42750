// The floor of the control round trip: the plainest one-instance named-pipe server, with
// synchronous reads, writes and flush, that answers each client once with the service's
// "active" answer and nothing else (no log, no parsing, no helper thread), ending each
// exchange as the service does, flush then disconnect. Its variants change the flush only.
#include "platform/Owners.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// The service's answer to "active" while the VPN is stopped, byte for byte.
constexpr char kAnswer[] = R"({"message":"inactive","running":false,"status":"ok"})";
constexpr DWORD kBufferSize = 4096;

DWORD WINAPI flushOnThread(void* instance) {
    return FlushFileBuffers(static_cast<HANDLE>(instance)) ? 0 : GetLastError();
}

// The flush on a short-lived thread of its own per client, as the service once made it:
// the table shows what creating that thread costs.
void flushThroughThread(HANDLE instance) {
    UniqueHandle thread(CreateThread(nullptr, 0, flushOnThread, instance, 0, nullptr));
    if (thread) {
        WaitForSingleObject(thread.get(), INFINITE);
    }
}

// The same bounded flush made by one long-lived helper thread instead of a new one per
// client, the design the service's pipe I/O layer follows.
class FlushWorker {
public:
    explicit FlushWorker(HANDLE instance)
        : instance(instance), request(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
          done(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
          thread(CreateThread(nullptr, 0, run, this, 0, nullptr)) {}
    ~FlushWorker() {
        quit = true;
        SetEvent(request.get());
        if (thread) {
            WaitForSingleObject(thread.get(), INFINITE);
        }
    }
    FlushWorker(const FlushWorker&) = delete;
    FlushWorker& operator=(const FlushWorker&) = delete;

    bool usable() const { return request && done && thread; }
    void flush() {
        SetEvent(request.get());
        WaitForSingleObject(done.get(), INFINITE);
    }

private:
    static DWORD WINAPI run(void* self) {
        auto* worker = static_cast<FlushWorker*>(self);
        while (WaitForSingleObject(worker->request.get(), INFINITE) == WAIT_OBJECT_0 &&
               !worker->quit) {
            FlushFileBuffers(worker->instance);
            SetEvent(worker->done.get());
        }
        return 0;
    }

    HANDLE instance;
    UniqueHandle request;
    UniqueHandle done;
    volatile bool quit = false;
    UniqueHandle thread;
};

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: echo_server PIPE CLIENTS [thread-flush|worker-flush]\n");
        return 2;
    }
    const int clients = _wtoi(argv[2]);
    const std::wstring mode = argc == 4 ? argv[3] : L"";
    const bool threadFlush = mode == L"thread-flush";
    const bool workerFlush = mode == L"worker-flush";
    UniqueHandle instance(CreateNamedPipeW(argv[1], PIPE_ACCESS_DUPLEX,
                                           PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1,
                                           kBufferSize, kBufferSize, 0, nullptr));
    if (!instance) {
        std::fprintf(stderr, "echo_server: CreateNamedPipe failed: %lu\n", GetLastError());
        return 1;
    }
    FlushWorker worker(instance.get());
    if (workerFlush && !worker.usable()) {
        std::fprintf(stderr, "echo_server: no flush worker: %lu\n", GetLastError());
        return 1;
    }
    std::string buffer(kBufferSize, '\0');
    for (int served = 0; served < clients; ++served) {
        if (!ConnectNamedPipe(instance.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
            std::fprintf(stderr, "echo_server: ConnectNamedPipe failed: %lu\n", GetLastError());
            return 1;
        }
        DWORD got = 0;
        if (ReadFile(instance.get(), buffer.data(), kBufferSize - 1, &got, nullptr) && got > 0) {
            DWORD written = 0;
            WriteFile(instance.get(), kAnswer, sizeof kAnswer - 1, &written, nullptr);
            if (threadFlush) {
                flushThroughThread(instance.get());
            } else if (workerFlush) {
                worker.flush();
            } else {
                FlushFileBuffers(instance.get());
            }
        }
        DisconnectNamedPipe(instance.get());
    }
    return 0;
}
