// Stops from two threads, a shut-down stop that meets a start, engines that do not end when
// asked, and failures inside the stop sequence itself.
#include "VpnTestSupport.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <future>
#include <new>
#include <system_error>
#include <thread>

namespace {

using namespace std::chrono_literals;
using End = enginedouble::Program::End;

class ConcurrencyTest : public VpnTest {
protected:
    // Waits until some captured line starts with the text, `count` times.
    bool waitForLine(const std::string& prefix, int count = 1,
                     std::chrono::milliseconds timeout = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (static_cast<int>(messages({prefix.c_str()}).size()) >= count) {
                return true;
            }
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }
};

TEST_F(ConcurrencyTest, TwoStopsAtOnceRunOneStopSequence) {
    VpnService vpn(&dns);
    ASSERT_TRUE(vpn.start().success);

    // The second stop is called while the first is inside its stop sequence.
    std::future<OperationResult> second;
    enginedouble::onStop([&] {
        second = std::async(std::launch::async, [&] { return vpn.stop(); });
        ASSERT_TRUE(waitForLine("VpnService::stop - Entry", 2));
        std::this_thread::sleep_for(200ms);
    });
    capture.clear();
    const OperationResult first = vpn.stop();
    EXPECT_TRUE(first.success);
    ASSERT_TRUE(second.valid());
    EXPECT_TRUE(second.get().success);

    EXPECT_EQ(1, enginedouble::stopCalls());
    EXPECT_EQ(1, countOf("VpnService::stopTun2proxy - Stopping..."));
    EXPECT_EQ(1, countOf("VpnService::stop - VPN already stopped"));
    EXPECT_EQ(1, countOf("VpnService::stop - Completed"));
    EXPECT_TRUE(wfpdouble::nothingLeft());
}

TEST_F(ConcurrencyTest, ShutdownStopDuringTheIsolationWaitsForStartAndThenUndoesIt) {
    iphlpdouble::reset();
    iphlpdouble::interfaceAppears(L"orvantun", tunIndex, 1500ms);
    VpnService vpn(&dns);
    std::future<OperationResult> started =
        std::async(std::launch::async, [&] { return vpn.start(); });
    ASSERT_TRUE(waitForLine("DnsManager::applyIsolation - Waiting for tunnel interface"));

    // The mutex is free now; the stop must still not run its sequence before start is done.
    const OperationResult stopped = vpn.stop();
    const OperationResult startResult = started.get();
    EXPECT_TRUE(startResult.success) << startResult.error;
    EXPECT_TRUE(stopped.success);
    EXPECT_LT(indexOf("VpnService::start - VPN started successfully"),
              indexOf("VpnService::stopTun2proxy - Stopping..."));
    EXPECT_FALSE(vpn.isRunning());
    EXPECT_EQ(0, enginedouble::runsInProgress());
    EXPECT_TRUE(wfpdouble::nothingLeft());
}

TEST_F(ConcurrencyTest, RollbackUnderTheMutexMeetsAStopStatusQueriesAndEngineLines) {
    iphlpdouble::reset();
    iphlpdouble::interfaceAppears(L"orvantun", tunIndex, 800ms);
    wfpdouble::failOn("FwpmFilterAdd0", 7, 0x80320003);
    std::vector<enginedouble::LogLine> chatter(300, {4, "busy"});
    enginedouble::queue({.lines = chatter});
    VpnService vpn(&dns);

    std::atomic<bool> polling{true};
    std::thread statusThread([&] {
        while (polling.load()) {
            (void)vpn.getStatus();
            (void)vpn.isRunning();
            tun2proxyLogCallback(3, "engine thread line", nullptr);
        }
    });
    std::future<OperationResult> started =
        std::async(std::launch::async, [&] { return vpn.start(); });
    ASSERT_TRUE(waitForLine("DnsManager::applyIsolation - Waiting for tunnel interface"));
    std::future<OperationResult> stopped =
        std::async(std::launch::async, [&] { return vpn.stop(); });

    const OperationResult startResult = started.get();
    const OperationResult stopResult = stopped.get();
    polling.store(false);
    statusThread.join();

    EXPECT_EQ("Failed to add allow filter: FwpmFilterAdd0 failed (2150760451)", startResult.error);
    EXPECT_TRUE(stopResult.success);
    // One stop sequence: the rollback's; the stop found nothing left.
    EXPECT_EQ(1, countOf("VpnService::stopTun2proxy - Stopping..."));
    EXPECT_EQ(1, countOf("VpnService::stop - VPN already stopped"));
    EXPECT_FALSE(vpn.isRunning());
    EXPECT_TRUE(wfpdouble::nothingLeft());
}

TEST_F(ConcurrencyTest, EngineThatIgnoresAStopIsAskedAgain) {
    enginedouble::queue({.stopsIgnored = 1});
    VpnService vpn(&dns);
    ASSERT_TRUE(vpn.start().success);
    capture.clear();
    EXPECT_TRUE(vpn.stop().success);
    EXPECT_EQ(2, enginedouble::stopCalls());
    const auto repeats = messages({"VpnService::stopTun2proxy - Thread still running after "});
    ASSERT_EQ(1u, repeats.size());
    EXPECT_TRUE(repeats[0].ends_with(" ms, calling tun2proxy_stop() again")) << repeats[0];
    EXPECT_EQ("WARN", levelOfMessage(repeats[0]));
    EXPECT_LT(indexOf(repeats[0]), indexOf("VpnService::stopTun2proxy - Thread finished"));
    EXPECT_TRUE(wfpdouble::nothingLeft());
}

TEST_F(ConcurrencyTest, StopWaitsForAnEngineThatTakesLongAndKeepsAsking) {
    enginedouble::queue({.stopsIgnored = INT_MAX});
    VpnService vpn(&dns);
    ASSERT_TRUE(vpn.start().success);
    std::thread releaser([&] {
        EXPECT_TRUE(waitForLine("VpnService::stopTun2proxy - Thread still running after ", 2));
        EXPECT_EQ(12u, wfpdouble::liveFilters().size());
        enginedouble::releaseAll();
    });
    EXPECT_TRUE(vpn.stop().success);
    releaser.join();
    EXPECT_GE(enginedouble::stopCalls(), 3);
    EXPECT_TRUE(wfpdouble::nothingLeft());
}

// A client's stop, and a start's clean-up after a failure, give up on an engine that does not
// end at their bound: answered then, the isolation left as it was (in force after a stop,
// none after a failed isolation), the state still running; once the engine has ended a
// later stop finishes the sequence.
TEST_F(ConcurrencyTest, ABoundedStopOrFailedStartLeavesAHungEngineAndALaterStopFinishes) {
    constexpr auto bound = 2000ms;
    const struct {
        const char* what;
        bool interfaceAppears;
        bool filterFails;
        bool stopAfterStart;
        std::string error;
        std::size_t filters;
        std::chrono::milliseconds waited;
    } cases[] = {
        {"a client's stop", true, false, true,
         "tun2proxy did not stop within 2 seconds; DNS stays blocked until it does - call "
         "stop() again",
         12, 0ms},
        {"a start whose isolation fails", true, true, false,
         "Failed to add allow filter: FwpmFilterAdd0 failed (2150760451); tun2proxy did not "
         "stop within 2 seconds - call stop() again",
         0, 0ms},
        {"a start whose interface never appears", false, false, false,
         "Failed to resolve tunnel interface 'orvantun': ", 0, 4000ms},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        if (!c.interfaceAppears) {
            iphlpdouble::reset();
        }
        if (c.filterFails) {
            wfpdouble::failOn("FwpmFilterAdd0", 7, 0x80320003);
        }
        enginedouble::queue({.stopsIgnored = INT_MAX});
        VpnService vpn(&dns);
        const auto began = std::chrono::steady_clock::now();
        OperationResult given;
        if (c.stopAfterStart) {
            ASSERT_TRUE(vpn.start(bound).success);
            given = vpn.stop(bound);
        } else {
            given = vpn.start(bound);
        }
        const auto took = std::chrono::steady_clock::now() - began;
        EXPECT_FALSE(given.success);
        if (c.interfaceAppears) {
            EXPECT_EQ(c.error, given.error);
        } else {
            EXPECT_TRUE(given.error.starts_with(c.error)) << given.error;
            EXPECT_TRUE(given.error.ends_with(
                "ms); tun2proxy did not stop within 2 seconds - call stop() again"))
                << given.error;
        }
        EXPECT_GE(took, bound + c.waited);
        EXPECT_LT(took, bound + c.waited + 5s); // not the engine's end, which never comes
        EXPECT_TRUE(vpn.isRunning());
        EXPECT_EQ(c.filters, wfpdouble::liveFilters().size());
        EXPECT_EQ(-1, indexOf("VpnService::stopTun2proxy - Thread finished"));

        enginedouble::releaseAll();
        ASSERT_TRUE(waitUntilEnded(vpn));
        EXPECT_EQ(c.filters, wfpdouble::liveFilters().size());
        EXPECT_TRUE(vpn.stop(bound).success);
        EXPECT_TRUE(wfpdouble::nothingLeft());
        EXPECT_EQ(1, countOf("VpnService::stopTun2proxy - Thread finished"));
        capture.clear();
    }
}

TEST_F(ConcurrencyTest, StopFromTheWorkerItselfIsReportedAndDoesNotEndTheProcess) {
    VpnService vpn(&dns);
    std::promise<std::string> thrown;
    enginedouble::queue({.onRun = [&] {
        try {
            vpn.stop();
            thrown.set_value("nothing");
        } catch (const std::system_error& e) {
            thrown.set_value(e.what());
        }
    }});
    ASSERT_TRUE(vpn.start().success);
    const std::string what = thrown.get_future().get();
    EXPECT_NE("nothing", what);
    ASSERT_TRUE(enginedouble::waitForRunsInProgress(0, 10s));
    EXPECT_TRUE(waitForLine("tun2proxyThreadFunc - Thread exiting"));
    EXPECT_EQ("ERROR",
              levelOfMessage("VpnService::stopTun2proxy - Failed to join thread: " + what));
    EXPECT_FALSE(vpn.isRunning());
    // Detached: nothing joinable is left for the destructor.
    capture.clear();
    EXPECT_TRUE(vpn.stop().success);
    EXPECT_EQ(1, countOf("VpnService::stop - VPN already stopped"));
}

TEST_F(ConcurrencyTest, ADetachedWorkerNeverWritesIntoADestroyedSession) {
    // The session lives in storage of the test's own, so that what is written there after
    // its destruction can be seen.
    alignas(VpnService) unsigned char storage[sizeof(VpnService)];
    VpnService* vpn = ::new (storage) VpnService(&dns);
    std::promise<void> detached;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    enginedouble::queue({.end = End::AtOnce, .onRun = [&, released] {
                             try {
                                 vpn->stop(); // joins itself: fails, and the worker is detached
                             } catch (const std::system_error&) {
                             }
                             detached.set_value();
                             released.wait();
                         }});
    ASSERT_TRUE(vpn->start().success);
    ASSERT_EQ(std::future_status::ready, detached.get_future().wait_for(10s));
    vpn->~VpnService();
    std::memset(storage, 0xA5, sizeof storage);

    release.set_value();
    ASSERT_TRUE(waitForLine("tun2proxyThreadFunc - Thread exiting"));
    ASSERT_TRUE(enginedouble::waitForRunsInProgress(0, 10s));
    for (const unsigned char byte : storage) {
        ASSERT_EQ(0xA5, byte);
    }
}

TEST_F(ConcurrencyTest, DestructorStopsTheWorkerAgainWhenStopThrew) {
    {
        VpnService vpn(&dns);
        ASSERT_TRUE(vpn.start().success);
        enginedouble::stopThrowsOnce("engine gone");
        capture.clear();
    }
    EXPECT_EQ("ERROR", levelOfMessage("VpnService destructor: exception in stop(): engine gone"));
    EXPECT_EQ(
        "ERROR",
        levelOfMessage("VpnService destructor: worker thread still joinable, stopping it again"));
    EXPECT_EQ(0, enginedouble::runsInProgress());
    EXPECT_EQ(1, countOf("tun2proxyThreadFunc - Thread exiting"));
}

TEST_F(ConcurrencyTest, ExceptionFromStopReachesTheCallerAndALaterStopFinishes) {
    VpnService vpn(&dns);
    ASSERT_TRUE(vpn.start().success);
    enginedouble::stopThrowsOnce("engine gone");
    EXPECT_THROW(vpn.stop(), std::runtime_error);
    EXPECT_TRUE(vpn.isRunning());
    EXPECT_TRUE(vpn.stop().success);
    EXPECT_FALSE(vpn.isRunning());
    EXPECT_TRUE(wfpdouble::nothingLeft());
}

} // namespace

namespace {

// The WFP calls must form whole installs and whole removals one after another: a removal
// that ran inside an install, or two removals at once, would break a block up.
::testing::AssertionResult wellFormedWfpCalls() {
    std::vector<std::string> install = {"FwpmEngineOpen0", "FwpmTransactionBegin0",
                                        "FwpmSubLayerAdd0"};
    install.insert(install.end(), 12, "FwpmFilterAdd0");
    install.push_back("FwpmTransactionCommit0");
    std::vector<std::string> removal(12, "FwpmFilterDeleteById0");
    removal.push_back("FwpmSubLayerDeleteByKey0");
    removal.push_back("FwpmEngineClose0");

    const std::vector<std::string> names = wfpdouble::callNames();
    std::size_t at = 0;
    bool installed = false;
    while (at < names.size()) {
        const std::vector<std::string>& block = installed ? removal : install;
        if (names.size() - at < block.size() ||
            !std::equal(block.begin(), block.end(), names.begin() + static_cast<long>(at))) {
            return ::testing::AssertionFailure()
                   << "call " << at << " (" << names[at] << ") breaks up "
                   << (installed ? "a removal" : "an install");
        }
        at += block.size();
        installed = !installed;
    }
    if (installed) {
        return ::testing::AssertionFailure() << "the isolation was left installed";
    }
    return ::testing::AssertionSuccess();
}

template <typename T>
T within(std::future<T>& result, const char* what) {
    if (result.wait_for(60s) != std::future_status::ready) {
        // A deadlock: fail now rather than when the whole run times out.
        std::fprintf(stderr, "deadlock: %s did not return within 60 s\n", what);
        std::fflush(stderr);
        std::_Exit(3);
    }
    return result.get();
}

} // namespace

TEST_F(ConcurrencyTest, StartsStopsAndAShutdownStopFromAnotherThreadNeverCollide) {
    std::mt19937 random(20261207);
    std::uniform_int_distribution<int> interfaceDelay(0, 300);
    std::uniform_int_distribution<int> shutdownDelay(0, 1100);
    std::uniform_int_distribution<int> pause(0, 60);
    std::uniform_int_distribution<int> ignoredStops(0, 1);
    VpnService vpn(&dns);

    for (int round = 0; round < 25; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        wfpdouble::reset();
        iphlpdouble::reset();
        iphlpdouble::interfaceAppears(L"orvantun", tunIndex,
                                      std::chrono::milliseconds(interfaceDelay(random)));
        enginedouble::queue({.stopsIgnored = ignoredStops(random),
                             .lines = {{3, "up"}, {4, std::nullopt}},
                             .lineThreads = 2});
        const auto shutdownAfter = std::chrono::milliseconds(shutdownDelay(random));
        const auto pipePause = std::chrono::milliseconds(pause(random));

        std::future<std::pair<OperationResult, OperationResult>> pipe =
            std::async(std::launch::async, [&] {
                OperationResult started = vpn.start();
                std::this_thread::sleep_for(pipePause);
                return std::make_pair(started, vpn.stop());
            });
        std::future<OperationResult> shutdown = std::async(std::launch::async, [&] {
            std::this_thread::sleep_for(shutdownAfter);
            return vpn.stop();
        });
        const auto [started, stoppedByPipe] = within(pipe, "the pipe thread");
        const OperationResult stoppedByShutdown = within(shutdown, "the shut-down stop");

        EXPECT_TRUE(started.success) << started.error;
        EXPECT_TRUE(stoppedByPipe.success);
        EXPECT_TRUE(stoppedByShutdown.success);
        EXPECT_FALSE(vpn.isRunning());
        EXPECT_EQ(0, enginedouble::runsInProgress());
        EXPECT_TRUE(wellFormedWfpCalls());
        EXPECT_TRUE(wfpdouble::nothingLeft());
        if (::testing::Test::HasFailure()) {
            break;
        }
    }
}
