#include "PipeExchange.h"

#include "platform/Owners.h"

namespace bench {

namespace {

// The single instance is busy between two clients, and absent while a server starts up.
constexpr DWORD kConnectPatienceMs = 10000;

UniqueHandle connect(const std::wstring& pipeName, DWORD& error) {
    const ULONGLONG deadline = GetTickCount64() + kConnectPatienceMs;
    for (;;) {
        UniqueHandle pipe(CreateFileW(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
        if (pipe) {
            return pipe;
        }
        error = GetLastError();
        if (GetTickCount64() >= deadline) {
            return {};
        }
        if (error == ERROR_PIPE_BUSY) {
            WaitNamedPipeW(pipeName.c_str(), 1000);
        } else if (error == ERROR_FILE_NOT_FOUND) {
            Sleep(10);
        } else {
            return {};
        }
    }
}

} // namespace

bool exchange(const std::wstring& pipeName, std::string_view request, std::string& response,
              DWORD& error) {
    error = 0;
    response.clear();
    UniqueHandle pipe = connect(pipeName, error);
    if (!pipe) {
        return false;
    }
    DWORD written = 0;
    if (!WriteFile(pipe.get(), request.data(), static_cast<DWORD>(request.size()), &written,
                   nullptr) ||
        written != request.size()) {
        error = GetLastError();
        return false;
    }
    char buffer[4096];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(pipe.get(), buffer, sizeof buffer, &got, nullptr)) {
            const DWORD readError = GetLastError();
            // The server's disconnect is the end of the response.
            if (readError == ERROR_BROKEN_PIPE || readError == ERROR_PIPE_NOT_CONNECTED ||
                readError == ERROR_NO_DATA) {
                break;
            }
            error = readError;
            return false;
        }
        if (got == 0) {
            break;
        }
        response.append(buffer, got);
    }
    if (response.empty()) {
        error = ERROR_NO_DATA;
        return false;
    }
    return true;
}

} // namespace bench
