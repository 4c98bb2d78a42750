// The stand-in tun2proxy.dll, loaded by path and driven through its three exports the way
// the service drives the real engine.
#include "platform/ModuleFolder.h"
#include "support/TestFiles.h"
#include "vpn/Tun2proxy.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using RunEngine = decltype(&tun2proxy_with_name_run);
using StopEngine = decltype(&tun2proxy_stop);
using SetCallback = decltype(&tun2proxy_set_log_callback);

template <typename Function>
Function entryOf(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

struct Received {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<std::int32_t, std::string>> lines;
    std::vector<DWORD> threads;
    void* context = nullptr;
};

Received received;

void collect(std::int32_t level, const char* message, void* context) {
    std::lock_guard lock(received.mutex);
    received.lines.emplace_back(level, message != nullptr ? message : "(null)");
    received.threads.push_back(GetCurrentThreadId());
    received.context = context;
    received.changed.notify_all();
}

bool waitForLines(std::size_t count) {
    std::unique_lock lock(received.mutex);
    return received.changed.wait_for(lock, 10s, [&] { return received.lines.size() >= count; });
}

TEST(StandinEngine, BlocksUntilStoppedTalksFromItsOwnThreadAndReturnsZero) {
    TempFolder folder("tun2proxy-standin");
    const auto built = (moduleFolder(nullptr) / ENGINE_FROM_TEST).lexically_normal();
    std::filesystem::copy_file(built, folder.path() / L"tun2proxy.dll");
    HMODULE engine = LoadLibraryW((folder.path() / L"tun2proxy.dll").c_str());
    ASSERT_NE(nullptr, engine) << GetLastError();

    const auto run = entryOf<RunEngine>(engine, "tun2proxy_with_name_run");
    const auto stop = entryOf<StopEngine>(engine, "tun2proxy_stop");
    const auto setCallback = entryOf<SetCallback>(engine, "tun2proxy_set_log_callback");
    ASSERT_NE(nullptr, run);
    ASSERT_NE(nullptr, stop);
    ASSERT_NE(nullptr, setCallback);

    int marker = 0;
    setCallback(&collect, &marker);
    // The real engine's contract: a stop with no run, a second run while one is active and a
    // second stop of a run all answer -1.
    EXPECT_EQ(-1, stop());
    DWORD runThread = 0;
    std::future<std::int32_t> code = std::async(std::launch::async, [&] {
        runThread = GetCurrentThreadId();
        return run("socks5://127.0.0.1:12735", "orvantun", "10.255.255.255/32", 2, false, 4);
    });
    ASSERT_TRUE(waitForLines(2));
    // Still blocked: only a stop ends it.
    EXPECT_EQ(std::future_status::timeout, code.wait_for(300ms));
    EXPECT_EQ(-1, run("socks5://127.0.0.1:12735", "orvantun", "10.255.255.255/32", 2, false, 4));

    // A stop may have to be repeated when it reaches the engine before its run began; this
    // one comes after the run began, so once is enough.
    EXPECT_EQ(0, stop());
    EXPECT_EQ(-1, stop());
    ASSERT_EQ(std::future_status::ready, code.wait_for(10s));
    EXPECT_EQ(0, code.get());

    {
        std::lock_guard lock(received.mutex);
        ASSERT_GE(received.lines.size(), 3u);
        EXPECT_EQ(3, received.lines[0].first);
        EXPECT_NE(std::string::npos, received.lines[0].second.find("orvantun"));
        EXPECT_NE(std::string::npos, received.lines[0].second.find("socks5://127.0.0.1:12735"));
        EXPECT_EQ(4, received.lines[1].first);
        EXPECT_NE(std::string::npos, received.lines[1].second.find("10.255.255.255/32"));
        EXPECT_EQ("stand-in engine: stopped", received.lines.back().second);
        EXPECT_EQ(&marker, received.context);
        EXPECT_NE(runThread, received.threads[0]);
    }
    // As a run without a default gateway ends.
    std::ofstream(folder.path() / L"tun2proxy-standin.txt") << "run-error";
    EXPECT_EQ(-4, run("socks5://127.0.0.1:12735", "orvantun", "10.255.255.255/32", 2, false, 4));
    FreeLibrary(engine);
}

} // namespace
