#pragma once

#include <windows.h>

#include "platform/Owners.h"

#include <atomic>

// FlushFileBuffers has no overlapped form, so it runs on a helper thread while the server
// thread waits with a bound. One helper serves a run of clients: starting a thread per
// client cost more than all the rest of an exchange. It is started by the first flush and
// ends after idling for `idleMs`, since a thread costs about a megabyte of working set
// under Wine whatever its stack reservation, and a service that nobody talks to needs none.
class FlushThread {
public:
    static constexpr DWORD kDefaultIdleMs = 10000;
    // What flush() returns when it could not start a helper; no wait returns this value.
    static constexpr DWORD kNoHelper = 0xFFFFFFFE;

    explicit FlushThread(DWORD idleMs = kDefaultIdleMs);
    ~FlushThread();
    FlushThread(const FlushThread&) = delete;
    FlushThread& operator=(const FlushThread&) = delete;

    bool usable() const { return request && done; }

    // Flushes `instance` on the helper. Returns WAIT_OBJECT_0 when the flush ended (`ok`
    // and `error` then tell how), otherwise what ended the wait first: the stop event, the
    // bound or a failed wait (its error in `error`). In those cases the flush has been broken off
    // (cancelled, and the client disconnected) and has ended before the call returns.
    // kNoHelper, with the error of CreateThread, when no helper could be started.
    DWORD flush(HANDLE instance, HANDLE stopEvent, DWORD timeoutMs, BOOL& ok, DWORD& error);

private:
    // Who may act next. The helper leaves Idle for Gone only by a compare-exchange, and
    // flush() leaves Idle for Busy the same way, so a helper ending at the moment a flush is
    // posted either takes that flush or is replaced, never both and never neither.
    enum class State { Gone, Idle, Busy };

    static DWORD WINAPI run(void* self);
    // A helper to post to: the running one, claimed, or a new one. False if none started.
    bool claimHelper(DWORD& error);

    const DWORD idleMs;
    UniqueHandle request;
    UniqueHandle done;
    UniqueHandle thread;
    std::atomic<State> state{State::Gone};
    std::atomic<bool> quit{false};
    HANDLE target = nullptr;
    BOOL result = FALSE;
    DWORD resultError = 0;
};
