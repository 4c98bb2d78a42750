// The service components over the real session, DNS isolation and pipe server, with the
// engine, WFP and IP Helper replaced at link time.
#include "EngineDouble.h"
#include "IphlpapiDouble.h"
#include "WfpDouble.h"
#include "support/DebugCapture.h"

#include "../pipe/PipeClient.h"
#include "dns/DnsManager.h"
#include "pipe/PipeServer.h"
#include "service/Components.h"
#include "vpn/VpnService.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <thread>

namespace {

using namespace std::chrono_literals;

class ComponentsTest : public ::testing::Test {
protected:
    void SetUp() override {
        wfpdouble::reset();
        iphlpdouble::reset();
        enginedouble::reset();
        iphlpdouble::interfaceAppears(L"orvantun", 5);
        createComponents();
        ASSERT_TRUE(startComponents());
    }
    void TearDown() override {
        enginedouble::releaseAll();
        // A shut-down that a test left running past its bound must be over before the next.
        for (int i = 0; i < 1000 && (g_vpnService || g_pipeServer); ++i) {
            std::this_thread::sleep_for(10ms);
        }
        g_pipeServer.reset();
        g_vpnService.reset();
        g_dnsManager.reset();
    }

    long indexOf(const std::string& message) const {
        const auto lines = capturedLines(capture);
        const auto found = std::find_if(lines.begin(), lines.end(),
                                        [&](const LogLine& l) { return l.message == message; });
        return found == lines.end() ? -1 : static_cast<long>(found - lines.begin());
    }

    DebugCapture capture;
};

TEST_F(ComponentsTest, ShutdownStopsTheRunningVpnWhileThePipeStillServes) {
    ASSERT_EQ(R"({"message":"VPN started successfully","status":"ok"})",
              pipeclient::exchange(R"({"command":"start"})"));
    ASSERT_EQ(12u, wfpdouble::liveFilters().size());
    capture.clear();

    shutdownComponents();
    EXPECT_EQ(nullptr, g_pipeServer);
    EXPECT_EQ(nullptr, g_vpnService);
    // The isolation manager stays until the process ends.
    EXPECT_NE(nullptr, g_dnsManager);
    EXPECT_TRUE(wfpdouble::nothingLeft());

    const long stopping = indexOf("Stopping VPN...");
    ASSERT_GE(stopping, 0);
    EXPECT_LT(stopping, indexOf("VpnService::stop - Completed"));
    EXPECT_LT(indexOf("VpnService::stop - Completed"), indexOf("PipeServer stopping..."));
    EXPECT_LT(indexOf("PipeServer stopping..."), indexOf("PipeServer stopped"));
    // The session is destroyed after the pipe server and finds nothing to stop.
    EXPECT_LT(indexOf("PipeServer stopped"), indexOf("VpnService::stop - VPN already stopped"));
}

TEST_F(ComponentsTest, ShutdownOfAnIdleServiceDoesNotStopTheVpn) {
    shutdownComponents();
    EXPECT_EQ(-1, indexOf("Stopping VPN..."));
    EXPECT_GE(indexOf("PipeServer stopped"), 0);
    EXPECT_EQ(nullptr, g_pipeServer);
    EXPECT_EQ(nullptr, g_vpnService);
    EXPECT_TRUE(enginedouble::journal().empty());
}

TEST_F(ComponentsTest, ExceptionFromTheVpnStopIsLoggedAndTheShutdownGoesOn) {
    ASSERT_TRUE(g_vpnService->start().success);
    enginedouble::stopThrowsOnce("engine gone");
    const ShutdownOutcome outcome = shutdownComponentsWithin(kShutdownBound, nullptr);
    EXPECT_TRUE(outcome.finished);
    EXPECT_GE(indexOf("Exception during shutdown in VpnService::stop: engine gone"), 0);
    EXPECT_EQ("ERROR",
              capturedLines(
                  capture)[indexOf("Exception during shutdown in VpnService::stop: engine gone")]
                  .level);
    // Pipe server and session are gone all the same; the session's destructor stopped the
    // engine.
    EXPECT_GE(indexOf("PipeServer stopped"), 0);
    EXPECT_EQ(nullptr, g_pipeServer);
    EXPECT_EQ(nullptr, g_vpnService);
    EXPECT_EQ(0, enginedouble::runsInProgress());
}

TEST_F(ComponentsTest, ShutdownThatDoesNotEndIsReportedWithWhatStillRuns) {
    enginedouble::queue({.stopsIgnored = INT_MAX});
    ASSERT_TRUE(g_vpnService->start().success);
    int progressCalls = 0;
    static int* progressCounter = nullptr;
    progressCounter = &progressCalls;
    const ShutdownOutcome outcome = shutdownComponentsWithin(2500ms, [] { ++*progressCounter; });
    EXPECT_FALSE(outcome.finished);
    EXPECT_EQ("VpnService::stop (the tunnel engine has not ended)", outcome.stillRunning);
    // About once a second while it waited.
    EXPECT_GE(progressCalls, 2);
    EXPECT_EQ(12u, wfpdouble::liveFilters().size());

    // The shut-down left behind finishes once the engine ends.
    enginedouble::releaseAll();
    for (int i = 0; i < 1000 && g_vpnService; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(nullptr, g_vpnService);
    EXPECT_TRUE(wfpdouble::nothingLeft());
}

} // namespace
