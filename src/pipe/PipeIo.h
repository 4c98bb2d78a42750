#pragma once

#include <windows.h>

#include "pipe/FlushThread.h"
#include "platform/Owners.h"

// The overlapped operations of one server instance, made for it once and used for all its
// clients: an event made per client was a measurable part of an exchange. Every wait also
// watches the server's stop event; an operation that does not finish is cancelled and drained
// before the call returns, so the caller's buffer is never written after it.
enum class IoStatus {
    Done,
    TimedOut,
    Stopped,
    Failed,
    // The flush could not be started (no helper thread), so nothing says the client has
    // the response.
    NotStarted,
};

struct IoResult {
    IoStatus status = IoStatus::Failed;
    DWORD bytes = 0;
    DWORD error = 0;
};

enum class ConnectStatus {
    Connected,
    // The client connected and closed again before the wait for it ended.
    ClientGone,
    Stopped,
    Failed,
};

class PipeIo {
public:
    // `stopEvent` and `flusher` must outlive this object.
    PipeIo(HANDLE instance, HANDLE stopEvent, FlushThread& flusher);
    PipeIo(const PipeIo&) = delete;
    PipeIo& operator=(const PipeIo&) = delete;

    HANDLE handle() const { return instance; }

    // False if the object could not get its completion event.
    bool usable() const { return static_cast<bool>(completion) && flusher.usable(); }

    // Waits without a time limit: only a client or the stop event ends it.
    ConnectStatus waitForClient(DWORD& error);
    IoResult read(char* buffer, DWORD size, DWORD timeoutMs);
    IoResult write(const char* data, DWORD size, DWORD timeoutMs);
    // Returns when the client has read everything written, or after the bound; on time-out
    // or stop the client is disconnected, since that is the only way to end the flush.
    IoResult flush(DWORD timeoutMs);

private:
    void begin();
    IoResult finish(BOOL started, DWORD timeoutMs);

    HANDLE instance;
    HANDLE stopEvent;
    FlushThread& flusher;
    UniqueHandle completion;
    OVERLAPPED overlapped{};
};
