#include "LogWatch.h"

#include <utility>

namespace bench {

LogWatch::LogWatch(std::wstring path) : path(std::move(path)) {}

LogWatch::~LogWatch() {
    quit = true;
    if (thread.joinable()) {
        thread.join();
    }
}

bool LogWatch::open(bool fromEnd) {
    // Every sharing mode, so that the service's writes and its rotation go on as without us.
    file.reset(CreateFileW(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return false;
    }
    LARGE_INTEGER size{};
    offset = fromEnd && GetFileSizeEx(file.get(), &size) ? size.QuadPart : 0;
    partial.clear();
    return true;
}

bool LogWatch::start() {
    if (!open(true)) {
        return false;
    }
    thread = std::thread([this] { run(); });
    return true;
}

void LogWatch::run() {
    while (!quit) {
        readNew();
        Sleep(1);
    }
}

void LogWatch::readNew() {
    char buffer[8192];
    for (;;) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer, sizeof buffer, &got, &at) || got == 0) {
            break;
        }
        const LONGLONG stamp = clock.now();
        offset += got;
        partial.append(buffer, got);
        std::lock_guard lock(mutex);
        for (std::size_t end = partial.find('\n'); end != std::string::npos;
             end = partial.find('\n')) {
            lines.push_back({stamp, partial.substr(0, end)});
            partial.erase(0, end + 1);
        }
    }
    // A rotation leaves a new, shorter file under the name: follow it from its start.
    WIN32_FILE_ATTRIBUTE_DATA now{};
    if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &now) &&
        (static_cast<LONGLONG>(now.nFileSizeHigh) << 32 | now.nFileSizeLow) < offset) {
        open(false);
    }
}

LONGLONG LogWatch::waitFor(std::string_view text, LONGLONG after, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    std::size_t checked = 0;
    for (;;) {
        {
            std::lock_guard lock(mutex);
            for (; checked < lines.size(); ++checked) {
                const Line& line = lines[checked];
                if (line.stamp >= after && line.text.find(text) != std::string::npos) {
                    return line.stamp;
                }
            }
        }
        if (GetTickCount64() >= deadline) {
            return 0;
        }
        Sleep(1);
    }
}

} // namespace bench
