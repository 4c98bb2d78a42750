#pragma once

#include <chrono>
#include <cstddef>
#include <windows.h>

namespace pipeconst {

inline constexpr const wchar_t* pipeName = L"\\\\.\\pipe\\Orvanet";
inline constexpr DWORD bufferSize = 65536;
// One read per connection, one byte short of the buffer.
inline constexpr DWORD requestReadLimit = 65535;
// What client text may take in a line, escapes counted (the request's own bound,
// commandExcerptBytes, is in RequestText.h, which reads requests).
inline constexpr std::size_t clientProgramBytes = 140;
inline constexpr std::size_t clientAccountBytes = 64;
inline constexpr DWORD createRetryPauseMs = 1000;
// How long another process may hold the pipe's name before administrators are told.
inline constexpr std::chrono::seconds nameHeldBound{60};
// Bounds each read, write and flush of a client, so that a client that stalls cannot hold
// the loop (and with it the service's shut-down).
inline constexpr DWORD pipeIoTimeoutMs = 2000;
// How long a client's stop waits for the engine to end. The engine is asked again every
// second: one that has not ended after ten asks hangs, and while the stop waits no other
// client is served. Past it the client is told, and the isolation stays until the engine
// ends. Well inside the service manager's 30 s and the clients' own wait for an answer.
inline constexpr std::chrono::seconds stopBound{10};

// Local clients only: the pipe controls a privileged service. The first-instance flag
// makes the creation fail when another process already owns the name, instead of
// sharing it with that process.
inline constexpr DWORD openMode =
    PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE;
inline constexpr DWORD pipeMode =
    PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;

} // namespace pipeconst
