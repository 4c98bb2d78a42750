// Stops from two threads, a shut-down stop that meets a start, engines that do not end when
// asked, and failures inside the stop sequence itself.
#include "VpnTestSupport.h"

#include <climits>
#include <future>
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
