#include "PipeClient.h"

#include "pipe/PipeConstants.h"

namespace pipeclient {

UniqueHandle open() {
    // Bounded so that a server that never answers fails the test instead of hanging it.
    for (int attempt = 0; attempt < 2000; ++attempt) {
        UniqueHandle pipe(CreateFileW(pipeconst::pipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
        if (pipe) {
            return pipe;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_PIPE_BUSY) {
            WaitNamedPipeW(pipeconst::pipeName, 50);
        } else {
            Sleep(10);
        }
    }
    return UniqueHandle();
}

bool write(HANDLE pipe, std::string_view text) {
    DWORD written = 0;
    return WriteFile(pipe, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

std::string readToEnd(HANDLE pipe) {
    std::string response;
    char buffer[4096];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(pipe, buffer, sizeof(buffer), &got, nullptr)) {
            break;
        }
        if (got == 0) {
            break;
        }
        response.append(buffer, got);
    }
    return response;
}

std::string exchange(std::string_view request) {
    UniqueHandle pipe = open();
    if (!pipe) {
        return "<no pipe>";
    }
    if (!write(pipe.get(), request)) {
        return "<write failed>";
    }
    return readToEnd(pipe.get());
}

} // namespace pipeclient
