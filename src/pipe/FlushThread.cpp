#include "pipe/FlushThread.h"

#include <exception>

FlushThread::FlushThread(DWORD idleMs)
    : idleMs(idleMs), request(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      done(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

FlushThread::~FlushThread() {
    if (thread) {
        // A helper that has already ended finds nothing; one still waiting takes the quit.
        quit.store(true);
        SetEvent(request.get());
        WaitForSingleObject(thread.get(), INFINITE);
    }
}

DWORD WINAPI FlushThread::run(void* self) {
    auto* flusher = static_cast<FlushThread*>(self);
    for (;;) {
        if (WaitForSingleObject(flusher->request.get(), flusher->idleMs) == WAIT_TIMEOUT) {
            State idle = State::Idle;
            if (flusher->state.compare_exchange_strong(idle, State::Gone)) {
                return 0;
            }
            // A flush was claimed meanwhile: its request is set or about to be.
            continue;
        }
        if (flusher->quit.load()) {
            return 0;
        }
        flusher->result = FlushFileBuffers(flusher->target);
        flusher->resultError = flusher->result ? 0 : GetLastError();
        flusher->state.store(State::Idle);
        SetEvent(flusher->done.get());
    }
}

bool FlushThread::claimHelper(DWORD& error) {
    State idle = State::Idle;
    if (state.compare_exchange_strong(idle, State::Busy)) {
        return true;
    }
    // Gone: the last helper has ended or is returning now; only this thread starts another.
    if (thread) {
        WaitForSingleObject(thread.get(), INFINITE);
        thread.reset();
    }
    state.store(State::Busy);
    thread.reset(CreateThread(nullptr, 0, &FlushThread::run, this, 0, nullptr));
    if (!thread) {
        error = GetLastError();
        state.store(State::Gone);
        return false;
    }
    return true;
}

DWORD FlushThread::flush(HANDLE instance, HANDLE stopEvent, DWORD timeoutMs, BOOL& ok,
                         DWORD& error) {
    if (!claimHelper(error)) {
        ok = FALSE;
        return kNoHelper;
    }
    target = instance;
    // Both events reset themselves as their one waiter wakes: each flush is one signal
    // each way, and the wait below takes the helper's even after a time-out.
    SetEvent(request.get());
    const HANDLE waits[2] = {done.get(), stopEvent};
    const DWORD woken = WaitForMultipleObjects(2, waits, FALSE, timeoutMs);
    const DWORD waitError = woken == WAIT_FAILED ? GetLastError() : 0;
    if (woken != WAIT_OBJECT_0) {
        // Both are needed: the cancel ends a flush already under way, the disconnect one
        // that starts after it (a flush of a disconnected instance fails at once).
        CancelSynchronousIo(thread.get());
        DisconnectNamedPipe(instance);
        // The helper must be idle again before the instance or the next client is touched.
        if (WaitForSingleObject(done.get(), INFINITE) != WAIT_OBJECT_0) {
            std::terminate();
        }
    }
    ok = result;
    error = woken == WAIT_FAILED ? waitError : resultError;
    return woken;
}
