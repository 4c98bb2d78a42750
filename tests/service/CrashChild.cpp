// A process that installs the crash report into a folder and then either runs an engine told
// (by its mode file) to fault, or itself ends on a thread of its own in a way that raises no
// exception, for the crash report's tests to read what it leaves behind and how it ends.
// Usage: crash_child LOG_FOLDER ENGINE_DLL MODE
#include "log/Logger.h"
#include "platform/Owners.h"
#include "service/CrashReport.h"
#include "support/EventRecorder.h"
#include "vpn/Tun2proxy.h"

#include <windows.h>

#include <shellapi.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

// The ends the child makes itself; false for a mode that belongs to the engine.
bool endOnWorker(const std::wstring& mode) {
    if (mode == L"abort") {
        std::thread([] { std::abort(); }).join();
    } else if (mode == L"terminate") {
        // Uncaught on a std::thread: the runtime calls std::terminate.
        std::thread([] { throw std::runtime_error("uncaught"); }).join();
    } else if (mode == L"invalid-parameter") {
        // The handler that a checking C runtime (the MSVC build's) calls for a bad argument;
        // MinGW-w64's msvcrt.dll checks none, so the child calls it as the runtime would.
        std::thread([] {
            if (const auto handler = _get_invalid_parameter_handler()) {
                handler(nullptr, nullptr, nullptr, 0, 0);
            }
        }).join();
    } else {
        return false;
    }
    return true;
}

} // namespace

int main() {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    const LocalMemory owned(arguments);
    if (arguments == nullptr || count != 4) {
        return 2;
    }
    const std::filesystem::path logs = arguments[1];
    Logger::instance().initialize(logs / L"Orvanet_service.log");
    // The events the report writes, kept in a file: the process ends right after them.
    recordEvents(logs / L"events.txt");
    if (!installCrashReport(logs)) {
        return 3;
    }
    if (endOnWorker(arguments[3])) {
        // The report ends the process before the thread returns.
        return 5;
    }
    HMODULE engine = LoadLibraryW(arguments[2]);
    const auto run = reinterpret_cast<decltype(&tun2proxy_with_name_run)>(
        reinterpret_cast<void*>(GetProcAddress(engine, "tun2proxy_with_name_run")));
    if (run == nullptr) {
        return 4;
    }
    // Returns only if the engine was not told to fault and someone stopped it.
    return run("socks5://127.0.0.1:12735", "orvantun", "10.255.255.255/32", 0, true, 0);
}
