#pragma once

#include <cstddef>
#include <windows.h>

namespace pipeconst {

inline constexpr const wchar_t* pipeName = L"\\\\.\\pipe\\Orvanet";
inline constexpr DWORD bufferSize = 65536;
// One read per connection, one byte short of the buffer.
inline constexpr DWORD requestReadLimit = 65535;
inline constexpr std::size_t commandExcerptBytes = 200;
inline constexpr DWORD createRetryPauseMs = 1000;
// Bounds each read, write and flush of a client, so that a client that stalls cannot hold
// the loop (and with it the service's shut-down).
inline constexpr DWORD pipeIoTimeoutMs = 2000;

// Local clients only: the pipe controls a privileged service. The first-instance flag
// makes the creation fail when another process already owns the name, instead of
// sharing it with that process.
inline constexpr DWORD openMode =
    PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE;
inline constexpr DWORD pipeMode =
    PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;

} // namespace pipeconst
