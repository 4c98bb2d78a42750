// A tunnel engine that only pretends: its run call blocks until stop is called, and it says
// through the log callback what it was asked to do.
#include "platform/ModuleFolder.h"
#include "vpn/Tun2proxy.h"

#include <windows.h>

#include <atomic>
#include <chrono>
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

// tun2proxy-standin.txt beside the DLL changes the run, for tests of what the service does
// about an engine that misbehaves: "ignore-stop" makes a run that never ends,
// "fault-after-start" an access violation on a thread of the engine's own a few seconds
// after the run began.
std::string standinMode() {
    const std::filesystem::path folder =
        moduleFolder(moduleAt(reinterpret_cast<const void*>(&standinMode)));
    if (folder.empty()) {
        return {};
    }
    std::ifstream in(folder / L"tun2proxy-standin.txt", std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void faultSoon() {
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::seconds(3));
        // Through a volatile pointer, so that the store is made and faults as a stray
        // pointer in real engine code would.
        volatile int* volatile nowhere = nullptr;
        *nowhere = 1;
    }).detach();
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
    const std::string mode = standinMode();
    const bool hang = mode.rfind("ignore-stop", 0) == 0;
    if (mode.rfind("fault-after-start", 0) == 0) {
        faultSoon();
    }
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
