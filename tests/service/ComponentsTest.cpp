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
#include "service/ServiceHost.h"
#include "vpn/VpnService.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <initializer_list>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;

// The service's last line names its process, so that a second copy's lines can be told apart.
std::string stoppedLine() {
    return "=== Service stopped === (process " + std::to_string(GetCurrentProcessId()) + ")";
}

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

    // Every message was logged, each after the one before it.
    void expectInOrder(std::initializer_list<std::string> messages) const {
        long previous = -1;
        for (const std::string& message : messages) {
            const long at = indexOf(message);
            EXPECT_GT(at, previous) << message;
            previous = at;
        }
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

    // The session is destroyed after the pipe server and finds nothing to stop.
    expectInOrder({"Stopping VPN...", "VpnService::stop - Completed", "PipeServer stopping...",
                   "PipeServer stopped", "VpnService::stop - VPN already stopped"});
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

// The host's side of a STOP: the control handler, the service main thread's wait for it and
// the shut-down that follows, over the same components.
class ServiceHostTest : public ComponentsTest {
protected:
    // A recheck this long never comes within a test: only the handler's wake-up ends the
    // wait, and a lost one shows as a main thread that does not end.
    static constexpr std::chrono::hours kNoRecheck{1};

    void SetUp() override {
        ComponentsTest::SetUp();
        reportFirstStartPending();
    }
    void TearDown() override {
        if (mainThread.joinable()) {
            mainThread.join();
        }
        g_running = false;
        ComponentsTest::TearDown();
    }

    // What ServiceMain does once RUNNING is reported, on a thread of its own.
    void startMainThread(std::chrono::milliseconds recheck) {
        std::promise<void> ended;
        mainEnded = ended.get_future();
        mainThread = std::thread([recheck, ended = std::move(ended)]() mutable {
            waitForStop(recheck);
            shutDownService();
            ended.set_value();
        });
    }

    // Gives the main thread time to be inside its wait, so that the STOP has to wake it; a
    // STOP that comes before the wait began is found by its first look at g_running, and the
    // test still passes.
    static void letTheWaitBegin() { std::this_thread::sleep_for(200ms); }

    // The main thread must end; one that does not has lost the STOP and waits out its
    // recheck. The bound is far beyond any shut-down here and far below the recheck.
    void expectMainThreadEnds() {
        if (mainEnded.wait_for(60s) != std::future_status::ready) {
            std::fprintf(stderr, "FAIL: the STOP did not wake the service main thread\n");
            std::fflush(stderr);
            std::_Exit(1);
        }
        mainThread.join();
    }

    std::thread mainThread;
    std::future<void> mainEnded;
};

TEST_F(ServiceHostTest, StopWakesTheWaitOfAnIdleService) {
    ASSERT_TRUE(reportRunning());
    EXPECT_TRUE(g_running);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), g_serviceStatus.dwCurrentState);
    startMainThread(kNoRecheck);
    letTheWaitBegin();

    ServiceCtrlHandler(SERVICE_CONTROL_STOP);
    expectMainThreadEnds();

    EXPECT_FALSE(g_running);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), g_serviceStatus.dwCurrentState);
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), g_serviceStatus.dwWin32ExitCode);
    EXPECT_EQ(nullptr, g_pipeServer);
    EXPECT_EQ(nullptr, g_vpnService);
    EXPECT_EQ(-1, indexOf("Stopping VPN..."));
    expectInOrder({"Service received STOP control", "Service shutting down...",
                   "PipeServer stopped", stoppedLine()});
}

TEST_F(ServiceHostTest, StopWakesTheWaitWhileTheVpnRunsAndTheVpnGoesFirst) {
    ASSERT_TRUE(reportRunning());
    ASSERT_EQ(R"({"message":"VPN started successfully","status":"ok"})",
              pipeclient::exchange(R"({"command":"start"})"));
    ASSERT_EQ(12u, wfpdouble::liveFilters().size());
    startMainThread(kNoRecheck);
    letTheWaitBegin();
    capture.clear();

    ServiceCtrlHandler(SERVICE_CONTROL_STOP);
    expectMainThreadEnds();

    EXPECT_TRUE(wfpdouble::nothingLeft());
    EXPECT_EQ(0, enginedouble::runsInProgress());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), g_serviceStatus.dwCurrentState);
    expectInOrder({"Service received STOP control", "Service shutting down...", "Stopping VPN...",
                   "VpnService::stop - Completed", "PipeServer stopped", "Winsock cleaned up",
                   stoppedLine()});
}

TEST_F(ServiceHostTest, StopDuringTheStartUpIsNotLost) {
    ServiceCtrlHandler(SERVICE_CONTROL_STOP);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), g_serviceStatus.dwCurrentState);
    EXPECT_EQ(2u, g_serviceStatus.dwCheckPoint);

    // The rest of the start-up neither goes back to START_PENDING nor reports RUNNING.
    reportStartPending();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), g_serviceStatus.dwCurrentState);
    EXPECT_EQ(3u, g_serviceStatus.dwCheckPoint);
    EXPECT_FALSE(reportRunning());
    EXPECT_FALSE(g_running);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), g_serviceStatus.dwCurrentState);

    startMainThread(kNoRecheck);
    expectMainThreadEnds();
    EXPECT_EQ(-1, indexOf("Service is now running"));
    EXPECT_GE(indexOf("PipeServer stopped"), 0);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), g_serviceStatus.dwCurrentState);
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), g_serviceStatus.dwWin32ExitCode);
}

TEST_F(ServiceHostTest, WithoutTheStopEventTheRecheckStillFindsTheStop) {
    // As after a failed CreateEventW: running, but nothing for the handler to set.
    g_running = true;
    startMainThread(20ms);
    letTheWaitBegin();

    ServiceCtrlHandler(SERVICE_CONTROL_STOP);
    expectMainThreadEnds();
    EXPECT_GE(indexOf(stoppedLine()), 0);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), g_serviceStatus.dwCurrentState);
}

} // namespace
