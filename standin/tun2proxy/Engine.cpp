// A tunnel engine that only pretends: its run call blocks until stop is called, and it says
// through the log callback what it was asked to do.
#include "platform/ModuleFolder.h"
#include "platform/Owners.h"
#include "vpn/Tun2proxy.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace {

std::atomic<Tun2proxyLogCallback> logCallback{nullptr};
std::atomic<void*> logContext{nullptr};

// The real engine's contract: one run at a time (a second is refused with -1), and a stop
// token the run holds from its start to its return, which the first stop takes (a stop with
// no run, or a second one, answers -1).
std::mutex stateMutex;
std::condition_variable stateChanged;
bool runActive = false;
bool stopRequested = false;

void say(std::int32_t level, const std::string& text) {
    if (Tun2proxyLogCallback callback = logCallback.load()) {
        callback(level, text.c_str(), logContext.load());
    }
}

// tun2proxy-standin.txt beside the DLL changes the run, for tests of what the service does
// about an engine that misbehaves: "ignore-stop" makes a run that never ends, and each of
// the others a fault a few seconds after the run began, on threads of the engine's own
// ("run-error" instead ends the run at once with -4, as a run without a default gateway does):
// "fault-after-start" an access violation on one thread, "fault-three-threads" on three at
// once, "overflow-after-start" a stack overflow in large frames (small ones never reach a
// filter under Wine), "fault-while-loader-held" an access violation while another thread is
// held inside this DLL's DllMain, and so holds the loader lock. "load-wintun" loads
// wintun.dll by its plain name when the run begins, as the real engine loads its driver's
// library, and says where it came from.
std::string standinMode() {
    const std::filesystem::path folder =
        moduleFolder(moduleAt(reinterpret_cast<const void*>(&standinMode)));
    if (folder.empty()) {
        return {};
    }
    std::ifstream in(folder / L"tun2proxy-standin.txt", std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool modeIs(const std::string& mode, const char* name) {
    return mode.rfind(name, 0) == 0;
}

// Through a volatile pointer, so that the store is made and faults as a stray pointer in
// real engine code would.
void faultNow() {
    volatile int* volatile nowhere = nullptr;
    *nowhere = 1;
}

volatile bool g_overflowEnds = false;

// 16 KiB a frame, probed page by page, until the guard page is passed; the volatile exit
// keeps the compiler from removing an endless recursion.
int overflow(int depth) {
    volatile char frame[16 * 1024];
    frame[0] = static_cast<char>(depth);
    if (g_overflowEnds) {
        return frame[0];
    }
    return overflow(depth + 1) + frame[sizeof frame - 1];
}

std::atomic<bool> g_holdNextThread{false};

DWORD WINAPI holdInDllMain(void*) {
    return 0;
}

// The real engine's call, word for word: the process's search order decides where it comes
// from.
void loadDriverLibrary() {
    const UniqueModule driver(LoadLibraryExW(L"wintun.dll", nullptr, 0));
    if (!driver) {
        say(3, "stand-in engine: wintun.dll not loaded: error " + std::to_string(GetLastError()));
        return;
    }
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(driver.get(), path, MAX_PATH);
    say(3, "stand-in engine: wintun.dll loaded from " +
               std::filesystem::path(path, path + length).string());
}

constexpr auto kFaultDelay = std::chrono::seconds(3);

void faultSoon(const std::string& mode) {
    const int threads = modeIs(mode, "fault-three-threads") ? 3 : 1;
    // Released together, as threads of an engine that meet the same broken state.
    auto release = std::make_shared<UniqueHandle>(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    for (int i = 0; i < threads; ++i) {
        std::thread([release, mode] {
            WaitForSingleObject(release->get(), INFINITE);
            if (modeIs(mode, "overflow-after-start")) {
                overflow(0);
            }
            if (modeIs(mode, "fault-while-loader-held")) {
                g_holdNextThread = true;
                UniqueHandle held(CreateThread(nullptr, 0, &holdInDllMain, nullptr, 0, nullptr));
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
            }
            faultNow();
        }).detach();
    }
    std::thread([release] {
        std::this_thread::sleep_for(kFaultDelay);
        SetEvent(release->get());
    }).detach();
}

} // namespace

extern "C" {

// A thread made while g_holdNextThread is set stays here for ever, holding the loader lock,
// as a thread of an engine stuck while it loads something would.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_THREAD_ATTACH && g_holdNextThread.exchange(false)) {
        Sleep(INFINITE);
    }
    return TRUE;
}

void tun2proxy_set_log_callback(Tun2proxyLogCallback callback, void* context) {
    logContext.store(context);
    logCallback.store(callback);
}

std::int32_t tun2proxy_stop() {
    {
        std::lock_guard lock(stateMutex);
        if (!runActive || stopRequested) {
            return -1;
        }
        stopRequested = true;
    }
    stateChanged.notify_all();
    return 0;
}

std::int32_t tun2proxy_with_name_run(const char* proxyUrl, const char* tunName, const char* bypass,
                                     std::int32_t dnsStrategy, bool rootPrivilege,
                                     std::int32_t verbosity) {
    {
        std::lock_guard lock(stateMutex);
        if (runActive) {
            return -1;
        }
        runActive = true;
        stopRequested = false;
    }
    const std::string mode = standinMode();
    if (modeIs(mode, "run-error")) {
        say(1, "stand-in engine: no default gateway found");
        std::lock_guard lock(stateMutex);
        runActive = false;
        return -4;
    }
    const bool hang = modeIs(mode, "ignore-stop");
    if (modeIs(mode, "load-wintun")) {
        loadDriverLibrary();
    }
    if (modeIs(mode, "fault-after-start") || modeIs(mode, "fault-three-threads") ||
        modeIs(mode, "overflow-after-start") || modeIs(mode, "fault-while-loader-held")) {
        faultSoon(mode);
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
    if (hang) {
        stateChanged.wait(lock, [] { return false; });
    }
    stateChanged.wait(lock, [] { return stopRequested; });
    lock.unlock();
    say(3, "stand-in engine: stopped");
    lock.lock();
    runActive = false;
    return 0;
}

} // extern "C"
