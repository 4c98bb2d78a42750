// The start and stop sequences of the session, their texts, and the state they leave.
#include "VpnTestSupport.h"

namespace {

using End = enginedouble::Program::End;

class SessionTest : public VpnTest {};

TEST_F(SessionTest, StartRunsEngineThenIsolationAndStopUndoesThemInOrder) {
    VpnService vpn(&dns);
    EXPECT_FALSE(vpn.isRunning());

    const OperationResult started = vpn.start();
    ASSERT_TRUE(started.success) << started.error;
    EXPECT_EQ("", started.error);
    EXPECT_TRUE(vpn.isRunning());
    EXPECT_TRUE(vpn.getStatus().running);
    EXPECT_EQ(1, enginedouble::runsInProgress());
    EXPECT_EQ(12u, wfpdouble::liveFilters().size());
    EXPECT_EQ(successfulStartLines, serviceMessages());
    EXPECT_EQ(std::vector<std::string>{}, recordedEventLines());
    // The isolation comes after the grace period, not before.
    EXPECT_LT(indexOf("VpnService::startTun2proxy - Thread started successfully"),
              indexOf("DnsManager::applyIsolation - WFP DNS isolation enabled (tunnel ifIndex=9)"));

    // The isolation is still in force while the engine is told to stop.
    std::size_t filtersAtEngineStop = 0;
    enginedouble::onStop([&] { filtersAtEngineStop = wfpdouble::liveFilters().size(); });
    capture.clear();
    const OperationResult stopped = vpn.stop();
    ASSERT_TRUE(stopped.success);
    EXPECT_EQ("", stopped.error);
    EXPECT_EQ(12u, filtersAtEngineStop);
    EXPECT_FALSE(vpn.isRunning());
    EXPECT_TRUE(wfpdouble::nothingLeft());

    std::vector<std::string> expected = {"VpnService::stop - Entry"};
    expected = concat(expected, stopSequenceLines);
    expected.push_back("VpnService::stop - Completed");
    EXPECT_EQ(expected, serviceMessages());
    // Engine stop, then the worker's end, then the join, then the restore.
    const long exiting = indexOf("tun2proxyThreadFunc - Thread exiting");
    const long finished = indexOf("VpnService::stopTun2proxy - Thread finished");
    const long restored = indexOf("DnsManager::restore - WFP DNS isolation disabled");
    EXPECT_LT(indexOf("VpnService::stopTun2proxy - Calling tun2proxy_stop()..."), exiting);
    EXPECT_LT(exiting, finished);
    EXPECT_LT(finished, restored);
    EXPECT_LT(restored, indexOf("VpnService::stopTun2proxy - Stopped"));
}

TEST_F(SessionTest, StopOnAFreshObjectTouchesNeitherEngineNorPlatform) {
    VpnService vpn(&dns);
    const OperationResult result = vpn.stop();
    EXPECT_TRUE(result.success);
    EXPECT_EQ((std::vector<std::string>{"VpnService::stop - Entry",
                                        "VpnService::stop - VPN already stopped"}),
              serviceMessages());
    EXPECT_TRUE(enginedouble::journal().empty());
    EXPECT_TRUE(wfpdouble::calls().empty());
}

TEST_F(SessionTest, SecondStartIsRefusedAndLeavesTheEngineRunning) {
    VpnService vpn(&dns);
    ASSERT_TRUE(vpn.start().success);
    const std::size_t wfpCalls = wfpdouble::calls().size();
    capture.clear();
    const OperationResult again = vpn.start();
    EXPECT_FALSE(again.success);
    EXPECT_EQ("VPN already running", again.error);
    EXPECT_EQ(std::vector<std::string>{"VpnService::start - Entry"}, serviceMessages());
    // The VPN runs: no failure for the Application log.
    EXPECT_EQ(std::vector<std::string>{}, recordedEventLines());
    EXPECT_TRUE(vpn.isRunning());
    EXPECT_EQ(1, enginedouble::runsInProgress());
    EXPECT_EQ(1u, enginedouble::runs().size());
    EXPECT_EQ(wfpCalls, wfpdouble::calls().size());
    EXPECT_TRUE(vpn.stop().success);
}

TEST_F(SessionTest, FailedIsolationReturnsItsOwnTextAfterAFullStop) {
    wfpdouble::failOn("FwpmTransactionBegin0", 1, 0x80320017);
    VpnService vpn(&dns);
    const OperationResult result = vpn.start();
    EXPECT_FALSE(result.success);
    EXPECT_EQ("FwpmTransactionBegin0 failed: 2150760471", result.error);
    EXPECT_EQ(startFailedEvent(result.error), recordedEventLines());
    // Engine stopped, worker joined, isolation removed, all before start returned.
    EXPECT_EQ(0, enginedouble::runsInProgress());
    EXPECT_EQ(1, enginedouble::stopCalls());
    EXPECT_FALSE(vpn.isRunning());
    EXPECT_TRUE(wfpdouble::nothingLeft());

    std::vector<std::string> expected(successfulStartLines.begin(), successfulStartLines.end() - 1);
    expected = concat(expected, stopSequenceLines);
    EXPECT_EQ(expected, serviceMessages());
    EXPECT_EQ(workerLinesFor(0), workerMessages());

    // Stopped: stop has nothing to do, and a new start succeeds.
    capture.clear();
    EXPECT_TRUE(vpn.stop().success);
    EXPECT_EQ(1, countOf("VpnService::stop - VPN already stopped"));
    ASSERT_TRUE(vpn.start().success);
    EXPECT_EQ(12u, wfpdouble::liveFilters().size());
    EXPECT_TRUE(vpn.stop().success);
}

TEST_F(SessionTest, MissingInterfaceFailsStartWithTheWaitText) {
    iphlpdouble::reset();
    VpnService vpn(&dns);
    const OperationResult result = vpn.start();
    EXPECT_FALSE(result.success);
    EXPECT_EQ(0u, result.error.rfind("Failed to resolve tunnel interface 'orvantun': ", 0))
        << result.error;
    EXPECT_FALSE(vpn.isRunning());
    EXPECT_EQ(0, enginedouble::runsInProgress());
    EXPECT_TRUE(wfpdouble::nothingLeft());
}

// Whether the interface would have come later or never, the wait ends with the engine: the
// answer names the engine's end, at once rather than at the wait's 4 s.
TEST_F(SessionTest, EngineThatEndsDuringTheInterfaceWaitFailsStartAndLeavesNothing) {
    for (const bool interfaceComes : {true, false}) {
        SCOPED_TRACE(interfaceComes ? "the interface comes later" : "the interface never comes");
        SetUp();
        iphlpdouble::reset();
        if (interfaceComes) {
            iphlpdouble::interfaceAppears(L"orvantun", tunIndex, std::chrono::milliseconds(3000));
        }
        enginedouble::queue(
            {.end = End::AfterDelay, .code = 3, .delay = std::chrono::milliseconds(700)});
        VpnService vpn(&dns);
        const auto began = std::chrono::steady_clock::now();
        const OperationResult result = vpn.start();
        EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(2500));
        EXPECT_FALSE(result.success);
        EXPECT_EQ("tun2proxy thread exited prematurely", result.error);
        EXPECT_EQ(startFailedEvent(result.error), recordedEventLines());
        EXPECT_FALSE(vpn.isRunning());
        EXPECT_TRUE(wfpdouble::nothingLeft());
        const std::vector<std::string> tail = {
            "VpnService::start - Applying DNS isolation...",
            "VpnService::start - Thread exited prematurely",
            "VpnService::stopTun2proxy - Stopping...",
            "VpnService::stopTun2proxy - Calling tun2proxy_stop()...",
            "VpnService::stopTun2proxy - Waiting for thread to finish...",
            "VpnService::stopTun2proxy - Thread finished",
            "VpnService::stopTun2proxy - Stopped",
        };
        const std::vector<std::string> lines = serviceMessages();
        ASSERT_GE(lines.size(), tail.size());
        EXPECT_EQ(tail, std::vector<std::string>(lines.end() - static_cast<long>(tail.size()),
                                                 lines.end()));
        EXPECT_EQ("ERROR", levelOfMessage("VpnService::start - Thread exited prematurely"));

        // Nothing is left to stop first: the next start succeeds.
        iphlpdouble::reset();
        iphlpdouble::interfaceAppears(L"orvantun", tunIndex);
        ASSERT_TRUE(vpn.start().success);
        EXPECT_EQ(12u, wfpdouble::liveFilters().size());
        EXPECT_TRUE(vpn.stop().success);
        EXPECT_TRUE(wfpdouble::nothingLeft());
        capture.clear();
    }
}

TEST_F(SessionTest, EngineThatEndedOnItsOwnMustBeStoppedBeforeANewStart) {
    enginedouble::queue({.end = End::AfterDelay, .delay = std::chrono::milliseconds(1500)});
    VpnService vpn(&dns);
    ASSERT_TRUE(vpn.start().success);
    ASSERT_TRUE(waitUntilEnded(vpn));
    EXPECT_FALSE(vpn.isRunning());

    capture.clear();
    const OperationResult refused = vpn.start();
    EXPECT_EQ("previous instance still stopping - call stop() first", refused.error);
    // The client clears this itself, and may meet it at every try: no event.
    EXPECT_EQ(std::vector<std::string>{}, recordedEventLines());
    EXPECT_EQ("ERROR",
              levelOfMessage(
                  "VpnService::startTun2proxy - Previous thread still joinable (may be stopping)"));
    EXPECT_EQ(12u, wfpdouble::liveFilters().size());

    capture.clear();
    EXPECT_TRUE(vpn.stop().success);
    std::vector<std::string> expected = {"VpnService::stop - Entry"};
    expected = concat(expected, stopSequenceLines);
    expected.push_back("VpnService::stop - Completed");
    EXPECT_EQ(expected, serviceMessages());
    EXPECT_TRUE(wfpdouble::nothingLeft());

    ASSERT_TRUE(vpn.start().success);
    EXPECT_TRUE(vpn.stop().success);
}

// An engine library that is missing or lacks a call: the start says so in one ERROR line
// and one event before any call into the engine; a later start loads it again.
TEST_F(SessionTest, EngineThatCannotBeLoadedFailsStartBeforeAnyEngineCall) {
    const std::string refusal = "tun2proxy.dll could not be loaded (error 126); supported";
    enginedouble::loadAnswers(OperationResult::failure(refusal));
    VpnService vpn(&dns);
    EXPECT_EQ(refusal, vpn.start().error);
    EXPECT_EQ(startFailedEvent(refusal), recordedEventLines());
    EXPECT_EQ("ERROR", levelOfMessage("VpnService::startTun2proxy - " + refusal));
    EXPECT_EQ(4u, serviceMessages().size());
    EXPECT_EQ(std::vector<std::string>{}, enginedouble::journal());
    EXPECT_TRUE(vpn.stop().success);
    enginedouble::loadAnswers(OperationResult::ok());
    ASSERT_TRUE(vpn.start().success);
    EXPECT_EQ(2, enginedouble::loadCalls());
}

// The engine's stop answers -1 while no run holds its stop token: before the run began and,
// from a real engine, at every repeat after the first stop took it. A stop that waits for a
// slow engine says so once, not at every repeat, and warns only of other codes.
TEST_F(SessionTest, StopAnswerMinusOneIsSaidOncePerStop) {
    enginedouble::queue({.stopsIgnored = 3});
    enginedouble::stopAnswers({0, -1, -1, -1});
    VpnService vpn(&dns);
    ASSERT_TRUE(vpn.start().success);
    capture.clear();
    EXPECT_TRUE(vpn.stop().success);
    EXPECT_EQ(4, enginedouble::stopCalls());
    EXPECT_EQ(1, countOf("VpnService::stopTun2proxy - tun2proxy_stop() returned -1: no run to "
                         "stop (not begun yet, ended, or already told)"));
    EXPECT_EQ("INFO", levelOfMessage("VpnService::stopTun2proxy - tun2proxy_stop() returned -1: "
                                     "no run to stop (not begun yet, ended, or already told)"));
    EXPECT_EQ(0, countOf("VpnService::stopTun2proxy - tun2proxy_stop() returned non-zero: -1"));
}

TEST_F(SessionTest, StopWarningsNeverTurnIntoAFailure) {
    enginedouble::stopAnswers({-5});
    VpnService vpn(&dns);
    ASSERT_TRUE(vpn.start().success);
    capture.clear();
    EXPECT_TRUE(vpn.stop().success);
    EXPECT_EQ("WARN",
              levelOfMessage("VpnService::stopTun2proxy - tun2proxy_stop() returned non-zero: -5"));
    EXPECT_LT(indexOf("VpnService::stopTun2proxy - Calling tun2proxy_stop()..."),
              indexOf("VpnService::stopTun2proxy - tun2proxy_stop() returned non-zero: -5"));
    EXPECT_EQ(1, countOf("VpnService::stop - Completed"));
}

TEST_F(SessionTest, StartStopCyclesStartFromScratchEachTime) {
    VpnService vpn(&dns);
    for (int cycle = 0; cycle < 5; ++cycle) {
        ASSERT_TRUE(vpn.start().success) << cycle;
        ASSERT_EQ(12u, wfpdouble::liveFilters().size());
        ASSERT_TRUE(vpn.stop().success) << cycle;
        ASSERT_TRUE(wfpdouble::nothingLeft());
        ASSERT_EQ(0, enginedouble::runsInProgress());
    }
    EXPECT_EQ(5u, enginedouble::runs().size());
}

TEST_F(SessionTest, DestroyingARunningSessionStopsEverything) {
    std::size_t filtersAtEngineStop = 0;
    {
        VpnService vpn(&dns);
        ASSERT_TRUE(vpn.start().success);
        enginedouble::onStop([&] { filtersAtEngineStop = wfpdouble::liveFilters().size(); });
        capture.clear();
    }
    EXPECT_EQ(12u, filtersAtEngineStop);
    EXPECT_EQ(0, enginedouble::runsInProgress());
    EXPECT_TRUE(wfpdouble::nothingLeft());
    EXPECT_EQ(1, countOf("VpnService::stop - Completed"));
    EXPECT_EQ(0, countOf("VpnService destructor: stop failed: "));
}

TEST_F(SessionTest, DestroyingAStoppedSessionLogsOnlyTheStopTest) {
    { VpnService vpn(&dns); }
    EXPECT_EQ((std::vector<std::string>{"VpnService::stop - Entry",
                                        "VpnService::stop - VPN already stopped"}),
              messages({""}));
}

} // namespace
