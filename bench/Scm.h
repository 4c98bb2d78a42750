#pragma once

#include <windows.h>

#include <utility>

namespace bench {

// Owns a handle of the Service Control Manager, which CloseHandle does not close.
class ScHandle {
public:
    ScHandle() = default;
    explicit ScHandle(SC_HANDLE handle) : value(handle) {}
    ~ScHandle() {
        if (value != nullptr) {
            CloseServiceHandle(value);
        }
    }
    ScHandle(ScHandle&& other) noexcept : value(std::exchange(other.value, nullptr)) {}
    ScHandle& operator=(ScHandle&&) = delete;
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;

    SC_HANDLE get() const { return value; }
    explicit operator bool() const { return value != nullptr; }

private:
    SC_HANDLE value = nullptr;
};

inline ScHandle openService(const wchar_t* name, DWORD access) {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        return {};
    }
    return ScHandle(OpenServiceW(manager.get(), name, access));
}

inline bool queryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof status, &needed) != 0;
}

// Polls every millisecond, so that the time to a state is measured to about that.
inline bool waitForState(SC_HANDLE service, DWORD state, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    SERVICE_STATUS_PROCESS status{};
    while (queryStatus(service, status)) {
        if (status.dwCurrentState == state) {
            return true;
        }
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(1);
    }
    return false;
}

} // namespace bench
