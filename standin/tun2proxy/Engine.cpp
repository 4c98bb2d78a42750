// A tunnel engine that only pretends: its run call blocks until stop is called, and it says
// through the log callback what it was asked to do.
#include "vpn/Tun2proxy.h"

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>

namespace {

std::atomic<Tun2proxyLogCallback> logCallback{nullptr};
std::atomic<void*> logContext{nullptr};

std::mutex stateMutex;
std::condition_variable stateChanged;
bool stopRequested = false;

void say(std::int32_t level, const std::string& text) {
    if (Tun2proxyLogCallback callback = logCallback.load()) {
        callback(level, text.c_str(), logContext.load());
    }
}

// "ignore-stop" in tun2proxy-standin.txt beside the DLL makes a run that never ends, for
// tests of what the service does about an engine that hangs.
bool ignoresStop() {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ignoresStop), &self);
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return false;
    }
    std::wstring file(path, length);
    file.erase(file.find_last_of(L"\\/") + 1);
    file += L"tun2proxy-standin.txt";
    std::ifstream in(file.c_str(), std::ios::binary);
    const std::string mode((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return mode.rfind("ignore-stop", 0) == 0;
}

} // namespace

extern "C" {

void tun2proxy_set_log_callback(Tun2proxyLogCallback callback, void* context) {
    logContext.store(context);
    logCallback.store(callback);
}

std::int32_t tun2proxy_stop() {
    {
        std::lock_guard lock(stateMutex);
        stopRequested = true;
    }
    stateChanged.notify_all();
    return 0;
}

std::int32_t tun2proxy_with_name_run(const char* proxyUrl, const char* tunName, const char* bypass,
                                     std::int32_t dnsStrategy, bool rootPrivilege,
                                     std::int32_t verbosity) {
    const bool hang = ignoresStop();
    const std::string tun = tunName != nullptr ? tunName : "";
    const std::string proxy = proxyUrl != nullptr ? proxyUrl : "";
    const std::string bypassText = bypass != nullptr ? bypass : "";
    // The real engine logs from threads of its own; so does this one.
    std::thread talker([=] {
        say(3, "stand-in engine: tunnel " + tun + " to " + proxy + " (no interface, no traffic)");
        say(4, "stand-in engine: bypass " + bypassText + ", dns strategy " +
                   std::to_string(dnsStrategy) + ", verbosity " + std::to_string(verbosity) +
                   (rootPrivilege ? ", root" : ", no root"));
        if (hang) {
            say(2, "stand-in engine: ignoring stop requests");
        }
    });
    talker.join();

    std::unique_lock lock(stateMutex);
    stopRequested = false;
    if (hang) {
        stateChanged.wait(lock, [] { return false; });
    }
    stateChanged.wait(lock, [] { return stopRequested; });
    lock.unlock();
    say(3, "stand-in engine: stopped");
    return 0;
}

} // extern "C"
