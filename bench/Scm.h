#pragma once

#include "platform/Owners.h"

#include <windows.h>

#include <utility>

namespace bench {

inline ServiceHandle openService(const wchar_t* name, DWORD access) {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        return {};
    }
    return ServiceHandle(OpenServiceW(manager.get(), name, access));
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
