// Prints the privileges the running "Orvanet" service's process token holds, in the token's
// order, as "Name, Name": what the service kept, read from outside it.
#include "platform/Owners.h"

#include <windows.h>

#include <cstdio>

int main() {
    const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const ServiceHandle service(
        manager ? OpenServiceW(manager.get(), L"Orvanet", SERVICE_QUERY_STATUS) : nullptr);
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!service ||
        !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof status, &needed)) {
        std::fprintf(stderr, "service not queried: %lu\n", GetLastError());
        return 2;
    }
    const UniqueHandle process(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, status.dwProcessId));
    HANDLE token = nullptr;
    if (!process || !OpenProcessToken(process.get(), TOKEN_QUERY, &token)) {
        std::fprintf(stderr, "token of process %lu not opened: %lu\n", status.dwProcessId,
                     GetLastError());
        return 3;
    }
    const UniqueHandle owned(token);
    unsigned char buffer[4096];
    if (!GetTokenInformation(token, TokenPrivileges, buffer, sizeof buffer, &needed)) {
        std::fprintf(stderr, "privileges not read: %lu\n", GetLastError());
        return 4;
    }
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer);
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
        char name[64] = {};
        DWORD length = sizeof name;
        LUID luid = privileges->Privileges[i].Luid;
        if (!LookupPrivilegeNameA(nullptr, &luid, name, &length)) {
            std::snprintf(name, sizeof name, "privilege %ld:%lu", luid.HighPart, luid.LowPart);
        }
        std::printf("%s%s", i == 0 ? "" : ", ", name);
    }
    std::printf("\n");
    return 0;
}
