// A process that installs the crash report into a folder and runs an engine told to fault,
// for the crash report's tests to read what it leaves behind and how it ends.
// Usage: crash_child LOG_FOLDER ENGINE_DLL
#include "log/Logger.h"
#include "platform/Owners.h"
#include "service/CrashReport.h"
#include "vpn/Tun2proxy.h"

#include <windows.h>

#include <shellapi.h>

#include <filesystem>

int main() {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    const LocalMemory owned(arguments);
    if (arguments == nullptr || count != 3) {
        return 2;
    }
    const std::filesystem::path logs = arguments[1];
    Logger::instance().initialize(logs / L"Orvanet_service.log");
    if (!installCrashReport(logs)) {
        return 3;
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
