// Many clients that drop at once, and engine faults seen through the control pipe.
#include "ServiceUnderTest.h"

#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using End = enginedouble::Program::End;

TEST_F(ServiceUnderTest, ManyClientsThatConnectAndDropAtOnceLeaveTheServerServing) {
    for (int wave = 0; wave < 3; ++wave) {
        std::vector<std::thread> droppers;
        for (int i = 0; i < 40; ++i) {
            droppers.emplace_back([i] {
                UniqueHandle client = pipeclient::open();
                // Some leave at once, some after writing half a request, some after a whole
                // one without reading the answer.
                if (client && i % 3 == 1) {
                    pipeclient::write(client.get(), R"({"comm)");
                } else if (client && i % 3 == 2) {
                    pipeclient::write(client.get(), activeRequest);
                }
            });
        }
        for (auto& dropper : droppers) {
            dropper.join();
        }
        ASSERT_EQ(inactiveResponse, exchange(activeRequest)) << "wave " << wave;
    }
    EXPECT_EQ(startedResponse, exchange(R"({"command":"start"})"));
    EXPECT_EQ(activeResponse, exchange(activeRequest));
}

TEST_F(ServiceUnderTest, EngineThatDiesWhileRunningIsReportedAndCleanedUpByStop) {
    enginedouble::queue({.end = End::AfterDelay, .code = -3, .delay = 1500ms});
    ASSERT_EQ(startedResponse, exchange(R"({"command":"start"})"));
    for (int i = 0; i < 500 && vpn.isRunning(); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(inactiveResponse, exchange(activeRequest));
    // The isolation stays until a stop removes it: DNS does not leak while the machine
    // still routes into a tunnel that has gone.
    EXPECT_EQ(12u, wfpdouble::liveFilters().size());
    EXPECT_EQ(
        R"({"message":"previous instance still stopping - call stop() first","status":"error"})",
        exchange(R"({"command":"start"})"));
    EXPECT_EQ(stoppedResponse, exchange(R"({"command":"stop"})"));
    EXPECT_TRUE(wfpdouble::nothingLeft());
    EXPECT_EQ(startedResponse, exchange(R"({"command":"start"})"));
    EXPECT_EQ(activeResponse, exchange(activeRequest));
}

TEST_F(ServiceUnderTest, EngineStopThatFailsOrIsIgnoredStillStops) {
    enginedouble::queue({.stopsIgnored = 1});
    enginedouble::stopAnswers({-1, 0});
    ASSERT_EQ(startedResponse, exchange(R"({"command":"start"})"));
    EXPECT_EQ(stoppedResponse, exchange(R"({"command":"stop"})"));
    EXPECT_EQ(2, enginedouble::stopCalls());
    EXPECT_EQ(inactiveResponse, exchange(activeRequest));
    EXPECT_TRUE(wfpdouble::nothingLeft());
}

TEST_F(ServiceUnderTest, EngineThatFailsToStartLeavesNothingBehind) {
    enginedouble::queue({.end = End::Throws, .what = "no tun device"});
    enginedouble::queue({.end = End::AtOnce, .code = 1});
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(R"({"message":"tun2proxy thread exited prematurely","status":"error"})",
                  exchange(R"({"command":"start"})"));
        EXPECT_EQ(inactiveResponse, exchange(activeRequest));
    }
    EXPECT_TRUE(wfpdouble::calls().empty());
    EXPECT_EQ(startedResponse, exchange(R"({"command":"start"})"));
}

} // namespace
