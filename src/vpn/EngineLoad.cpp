// The engine as the service executable loads it; tests link their double's instead.
#include "log/Logger.h"
#include "vpn/EngineLibrary.h"
#include "vpn/Tun2proxy.h"

#include <windows.h>

#include <mutex>

OperationResult loadTun2proxy() {
    static std::mutex mutex;
    // Never released: the calls are bound to it on their first use, and an engine thread
    // may outlive every object of the process.
    static HMODULE loaded = nullptr;
    std::lock_guard lock(mutex);
    if (loaded != nullptr) {
        return OperationResult::ok();
    }
    EngineLibrary engine = loadEngineLibrary(L"tun2proxy.dll");
    if (engine.result.success) {
        logInfo("VpnService - Engine loaded: tun2proxy.dll {}", engine.found);
        loaded = engine.module.release();
    }
    return engine.result;
}
