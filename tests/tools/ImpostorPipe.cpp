#include "ImpostorPipe.h"

ImpostorPipe::ImpostorPipe(std::wstring pipeName, int holdFirst, int gap, std::string reply)
    : name(std::move(pipeName)), holdFirstMs(holdFirst), gapMs(gap), answer(std::move(reply)),
      stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      readyEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)), thread([this] { serve(); }) {
    WaitForSingleObject(readyEvent, 10000);
}

ImpostorPipe::~ImpostorPipe() {
    SetEvent(stopEvent);
    thread.join();
    CloseHandle(stopEvent);
    CloseHandle(readyEvent);
}

int ImpostorPipe::connectionsAtLeast(int count, DWORD timeoutMs) const {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (connected.load() < count && GetTickCount64() < deadline) {
        Sleep(10);
    }
    return connected.load();
}

void ImpostorPipe::endPending(HANDLE pipe, OVERLAPPED& overlapped) {
    DWORD bytes = 0;
    if (GetOverlappedResult(pipe, &overlapped, &bytes, FALSE) ||
        GetLastError() != ERROR_IO_INCOMPLETE) {
        return;
    }
    CancelIoEx(pipe, &overlapped);
    if (WaitForSingleObject(overlapped.hEvent, 2000) != WAIT_OBJECT_0) {
        DisconnectNamedPipe(pipe);
    }
    GetOverlappedResult(pipe, &overlapped, &bytes, TRUE);
}

std::string ImpostorPipe::received() const {
    std::lock_guard lock(mutex);
    return bytes;
}

// True when the event fired, false on stop or time-out.
bool ImpostorPipe::waitOrStop(HANDLE event, DWORD ms) {
    HANDLE both[2] = {event, stopEvent};
    return WaitForMultipleObjects(2, both, FALSE, ms) == WAIT_OBJECT_0;
}

void ImpostorPipe::serve() {
    bool first = true;
    while (WaitForSingleObject(stopEvent, 0) != WAIT_OBJECT_0) {
        HANDLE pipe = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536,
                                       65536, 0, nullptr);
        SetEvent(readyEvent);
        if (pipe == INVALID_HANDLE_VALUE) {
            return;
        }
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        OVERLAPPED overlapped{};
        overlapped.hEvent = event;
        bool isConnected = ConnectNamedPipe(pipe, &overlapped) != 0;
        if (!isConnected) {
            const DWORD error = GetLastError();
            isConnected = error == ERROR_PIPE_CONNECTED ||
                          (error == ERROR_IO_PENDING && waitOrStop(event, INFINITE));
        }
        if (!isConnected) {
            endPending(pipe, overlapped);
        }
        const bool wasFirst = isConnected && first;
        if (isConnected) {
            ++connected;
            serveOne(pipe, first && holdFirstMs >= 0);
            first = false;
        }
        DisconnectNamedPipe(pipe);
        CloseHandle(event);
        CloseHandle(pipe);
        if (wasFirst && gapMs > 0) {
            WaitForSingleObject(stopEvent, static_cast<DWORD>(gapMs));
        }
    }
}

void ImpostorPipe::serveOne(HANDLE pipe, bool hold) {
    if (hold) {
        WaitForSingleObject(stopEvent, static_cast<DWORD>(holdFirstMs));
        return;
    }
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    char buffer[65536];
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    DWORD got = 0;
    bool read = ReadFile(pipe, buffer, sizeof buffer, nullptr, &overlapped) != 0;
    if (!read && GetLastError() == ERROR_IO_PENDING) {
        read = waitOrStop(event, 5000);
        if (!read) {
            endPending(pipe, overlapped);
        }
    }
    if (GetOverlappedResult(pipe, &overlapped, &got, FALSE) && got > 0) {
        {
            std::lock_guard lock(mutex);
            bytes.append(buffer, got);
        }
        DWORD written = 0;
        OVERLAPPED write{};
        ResetEvent(event);
        write.hEvent = event;
        WriteFile(pipe, answer.data(), static_cast<DWORD>(answer.size()), nullptr, &write);
        GetOverlappedResult(pipe, &write, &written, TRUE);
        FlushFileBuffers(pipe);
    }
    CloseHandle(event);
}
