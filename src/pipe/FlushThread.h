#pragma once

#include <windows.h>

#include "platform/Owners.h"

#include <atomic>

// FlushFileBuffers has no overlapped form, so it runs on a helper thread while the server
// thread waits with a bound. One helper serves the whole server loop: starting a thread per
// client cost more than all the rest of an exchange.
class FlushThread {
public:
    FlushThread();
    ~FlushThread();
    FlushThread(const FlushThread&) = delete;
    FlushThread& operator=(const FlushThread&) = delete;

    bool usable() const { return static_cast<bool>(thread); }

    // Flushes `instance` on the helper. Returns WAIT_OBJECT_0 when the flush ended (`ok`
    // and `error` then tell how), otherwise what ended the wait first: the stop event, the
    // bound or a failed wait (its error in `error`). In those cases the flush has been broken off
    // (cancelled, and the client disconnected) and has ended before the call returns.
    DWORD flush(HANDLE instance, HANDLE stopEvent, DWORD timeoutMs, BOOL& ok, DWORD& error);

private:
    static DWORD WINAPI run(void* self);

    UniqueHandle request;
    UniqueHandle done;
    UniqueHandle thread;
    std::atomic<bool> quit{false};
    HANDLE target = nullptr;
    BOOL result = FALSE;
    DWORD resultError = 0;
};
