// Attaches to the running "Orvanet" service as a debugger and writes every debug string it
// sends, one per line, to a file, until a stop file appears or the service ends. It shows
// that log lines still reach the debugger when the log file cannot take them.
// Usage: debug_listener OUTPUT_FILE STOP_FILE
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

DWORD servicePid() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        return 0;
    }
    DWORD pid = 0;
    if (SC_HANDLE service = OpenServiceW(manager, L"Orvanet", SERVICE_QUERY_STATUS)) {
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                 sizeof(status), &needed)) {
            pid = status.dwProcessId;
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return pid;
}

bool exists(const wchar_t* path) {
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: debug_listener OUTPUT_FILE STOP_FILE\n");
        return 2;
    }
    const DWORD pid = servicePid();
    if (pid == 0 || !DebugActiveProcess(pid)) {
        std::fprintf(stderr, "cannot attach to the service (pid %lu): %lu\n", pid, GetLastError());
        return 1;
    }
    // Leaving must not take the service with it.
    DebugSetProcessKillOnExit(FALSE);
    std::ofstream out(argv[1], std::ios::binary | std::ios::app);
    out << "attached\n" << std::flush;

    HANDLE process = nullptr;
    bool ended = false;
    while (!ended && !exists(argv[2])) {
        DEBUG_EVENT event{};
        if (!WaitForDebugEvent(&event, 200)) {
            continue;
        }
        DWORD continueStatus = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT:
            process = event.u.CreateProcessInfo.hProcess;
            if (event.u.CreateProcessInfo.hFile != nullptr) {
                CloseHandle(event.u.CreateProcessInfo.hFile);
            }
            break;
        case LOAD_DLL_DEBUG_EVENT:
            if (event.u.LoadDll.hFile != nullptr) {
                CloseHandle(event.u.LoadDll.hFile);
            }
            break;
        case OUTPUT_DEBUG_STRING_EVENT: {
            const OUTPUT_DEBUG_STRING_INFO& info = event.u.DebugString;
            std::vector<char> text(info.nDebugStringLength);
            SIZE_T read = 0;
            if (process != nullptr && !info.fUnicode &&
                ReadProcessMemory(process, info.lpDebugStringData, text.data(), text.size(),
                                  &read)) {
                std::string line(text.data(), read);
                while (!line.empty() && (line.back() == '\0' || line.back() == '\n')) {
                    line.pop_back();
                }
                out << line << '\n' << std::flush;
            }
            break;
        }
        case EXCEPTION_DEBUG_EVENT:
            // The breakpoint of the attach is ours; any other exception goes back to the
            // service's own handlers as if no debugger were there.
            if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
                continueStatus = DBG_EXCEPTION_NOT_HANDLED;
            }
            break;
        case EXIT_PROCESS_DEBUG_EVENT:
            ended = true;
            break;
        default:
            break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, continueStatus);
    }
    if (!ended) {
        DebugActiveProcessStop(pid);
    }
    return 0;
}
