#include "pipe/PipeIo.h"

PipeIo::PipeIo(HANDLE instance, HANDLE stopEvent, FlushThread& flusher)
    : instance(instance), stopEvent(stopEvent), flusher(flusher),
      completion(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

void PipeIo::begin() {
    // The platform resets the event when it starts the operation, so a signal left by the
    // one before cannot end this one's wait.
    overlapped = OVERLAPPED{};
    overlapped.hEvent = completion.get();
}

IoResult PipeIo::finish(BOOL started, DWORD timeoutMs) {
    if (!started) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            return {IoStatus::Failed, 0, error};
        }
        const HANDLE waits[2] = {completion.get(), stopEvent};
        const DWORD woken = WaitForMultipleObjects(2, waits, FALSE, timeoutMs);
        if (woken != WAIT_OBJECT_0) {
            const DWORD waitError = woken == WAIT_FAILED ? GetLastError() : 0;
            CancelIoEx(instance, &overlapped);
            DWORD bytes = 0;
            // Completed in the meantime: the result stands.
            if (GetOverlappedResult(instance, &overlapped, &bytes, TRUE)) {
                return {IoStatus::Done, bytes, 0};
            }
            if (woken == WAIT_TIMEOUT) {
                return {IoStatus::TimedOut, 0, WAIT_TIMEOUT};
            }
            if (woken == WAIT_OBJECT_0 + 1) {
                return {IoStatus::Stopped, 0, 0};
            }
            return {IoStatus::Failed, 0, waitError};
        }
    }
    DWORD bytes = 0;
    if (GetOverlappedResult(instance, &overlapped, &bytes, FALSE)) {
        return {IoStatus::Done, bytes, 0};
    }
    return {IoStatus::Failed, 0, GetLastError()};
}

ConnectStatus PipeIo::waitForClient(DWORD& error) {
    error = 0;
    begin();
    const BOOL started = ConnectNamedPipe(instance, &overlapped);
    if (!started) {
        const DWORD immediate = GetLastError();
        if (immediate == ERROR_PIPE_CONNECTED) {
            return ConnectStatus::Connected;
        }
        if (immediate == ERROR_NO_DATA) {
            return ConnectStatus::ClientGone;
        }
        SetLastError(immediate);
    }
    const IoResult result = finish(started, INFINITE);
    switch (result.status) {
    case IoStatus::Done:
        return ConnectStatus::Connected;
    case IoStatus::Stopped:
        return ConnectStatus::Stopped;
    case IoStatus::TimedOut:
    case IoStatus::Failed:
    case IoStatus::NotStarted:
        break;
    }
    if (result.error == ERROR_PIPE_CONNECTED) {
        return ConnectStatus::Connected;
    }
    if (result.error == ERROR_NO_DATA) {
        return ConnectStatus::ClientGone;
    }
    error = result.error;
    return ConnectStatus::Failed;
}

IoResult PipeIo::read(char* buffer, DWORD size, DWORD timeoutMs) {
    begin();
    return finish(ReadFile(instance, buffer, size, nullptr, &overlapped), timeoutMs);
}

IoResult PipeIo::write(const char* data, DWORD size, DWORD timeoutMs) {
    begin();
    return finish(WriteFile(instance, data, size, nullptr, &overlapped), timeoutMs);
}

IoResult PipeIo::flush(DWORD timeoutMs) {
    BOOL ok = FALSE;
    DWORD error = 0;
    const DWORD woken = flusher.flush(instance, stopEvent, timeoutMs, ok, error);
    if (woken == WAIT_OBJECT_0) {
        return ok ? IoResult{IoStatus::Done, 0, 0} : IoResult{IoStatus::Failed, 0, error};
    }
    if (woken == WAIT_TIMEOUT) {
        return {IoStatus::TimedOut, 0, WAIT_TIMEOUT};
    }
    if (woken == WAIT_OBJECT_0 + 1) {
        return {IoStatus::Stopped, 0, 0};
    }
    if (woken == FlushThread::kNoHelper) {
        return {IoStatus::NotStarted, 0, error};
    }
    return {IoStatus::Failed, 0, error};
}
