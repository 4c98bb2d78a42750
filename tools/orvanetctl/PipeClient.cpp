#include "PipeClient.h"

#include <algorithm>
#include <optional>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

DWORD millisecondsUntil(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<DWORD>(std::max<long long>(0, left.count()));
}

bool endOfResponse(DWORD error) {
    return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED ||
           error == ERROR_NO_DATA;
}

} // namespace

PipeClient::Opened PipeClient::open(const std::wstring& pipeName,
                                    std::chrono::milliseconds busyWait,
                                    std::chrono::milliseconds notServedWait) {
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + busyWait;
    std::optional<Clock::time_point> gapStart;
    for (;;) {
        // Identification only: whoever serves the pipe may learn who we are, never act as us.
        HANDLE opened = CreateFileW(
            pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
            FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (opened != INVALID_HANDLE_VALUE) {
            pipe = UniqueHandle(opened);
            return Opened::Connected;
        }
        lastError = GetLastError();
        if (lastError == ERROR_PIPE_BUSY) {
            gapStart.reset();
            if (Clock::now() >= deadline) {
                return Opened::Busy;
            }
            const DWORD slice = std::min<DWORD>(millisecondsUntil(deadline), 1000);
            if (!WaitNamedPipeW(pipeName.c_str(), std::max<DWORD>(slice, 1))) {
                // Gone between the two calls, or still busy: look again shortly.
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            continue;
        }
        if (lastError == ERROR_FILE_NOT_FOUND) {
            const Clock::time_point now = Clock::now();
            if (!gapStart) {
                gapStart = now;
            }
            if (now >= *gapStart + notServedWait || now >= deadline) {
                return Opened::NotServed;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        return Opened::Failed;
    }
}

DWORD PipeClient::serverProcessId() const {
    ULONG pid = 0;
    if (!pipe || !GetNamedPipeServerProcessId(pipe.get(), &pid)) {
        return 0;
    }
    return pid;
}

bool PipeClient::waitFor(OVERLAPPED& overlapped, Clock::time_point deadline, DWORD& transferred,
                         DWORD& error) {
    if (WaitForSingleObject(overlapped.hEvent, millisecondsUntil(deadline)) != WAIT_OBJECT_0) {
        CancelIo(pipe.get());
        GetOverlappedResult(pipe.get(), &overlapped, &transferred, TRUE);
        error = WAIT_TIMEOUT;
        return false;
    }
    if (!GetOverlappedResult(pipe.get(), &overlapped, &transferred, FALSE)) {
        error = GetLastError();
        return false;
    }
    return true;
}

PipeClient::Exchange PipeClient::exchange(const std::string& request,
                                          std::chrono::milliseconds responseWait,
                                          std::size_t responseLimit) {
    Exchange result;
    const Clock::time_point deadline = Clock::now() + responseWait;
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!pipe || !event) {
        result.error = "no connection";
        return result;
    }

    // The server takes a request from a single read, so it goes out in a single write.
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    DWORD transferred = 0;
    DWORD error = 0;
    if (!WriteFile(pipe.get(), request.data(), static_cast<DWORD>(request.size()), nullptr,
                   &overlapped)) {
        error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            result.error = "the request could not be written (error " + std::to_string(error) + ")";
            return result;
        }
    }
    if (!waitFor(overlapped, deadline, transferred, error) || transferred != request.size()) {
        result.error = error == WAIT_TIMEOUT ? "the request could not be written in time"
                                             : "the request could not be written (error " +
                                                   std::to_string(error) + ")";
        return result;
    }

    std::string buffer(65536, '\0');
    for (;;) {
        overlapped = OVERLAPPED{};
        overlapped.hEvent = event.get();
        ResetEvent(event.get());
        transferred = 0;
        error = 0;
        bool done = ReadFile(pipe.get(), buffer.data(), static_cast<DWORD>(buffer.size()), nullptr,
                             &overlapped) != 0;
        if (!done) {
            error = GetLastError();
            if (error == ERROR_IO_PENDING) {
                done = waitFor(overlapped, deadline, transferred, error);
            }
        } else {
            GetOverlappedResult(pipe.get(), &overlapped, &transferred, FALSE);
        }
        if (done) {
            if (transferred == 0) {
                break;
            }
            if (transferred > responseLimit - result.response.size()) {
                result.response.clear();
                result.error = "the response exceeds " + std::to_string(responseLimit) + " bytes";
                return result;
            }
            result.response.append(buffer.data(), transferred);
            continue;
        }
        if (endOfResponse(error)) {
            break;
        }
        if (error == WAIT_TIMEOUT) {
            result.error = "no complete response within " +
                           std::to_string(responseWait.count() / 1000) + " seconds";
        } else {
            result.error = "reading the response failed (error " + std::to_string(error) + ")";
        }
        return result;
    }
    if (result.response.empty()) {
        result.error = "the service closed the connection without answering";
        return result;
    }
    result.answered = true;
    return result;
}
