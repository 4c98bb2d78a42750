// Start and stop cycles through the control pipe must not leave handles, threads or memory
// behind. ORVANET_CYCLES sets the number of cycles (the robustness command runs 1,000).
#include "ServiceUnderTest.h"
#include "support/ProcessCounts.h"

#include <psapi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

struct Counters {
    DWORD handles = 0;
    std::uintptr_t handleWatermark = 0;
    int threads = 0;
    SIZE_T privateBytes = 0;
    SIZE_T workingSet = 0;
};

Counters measure() {
    Counters counters;
    GetProcessHandleCount(GetCurrentProcess(), &counters.handles);
    counters.handleWatermark = handleWatermark();
    counters.threads = threadCount();
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof(memory);
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                         sizeof(memory));
    // Wine leaves PrivateUsage at 0; the commit charge is the same figure there.
    counters.privateBytes = memory.PrivateUsage != 0 ? memory.PrivateUsage : memory.PagefileUsage;
    counters.workingSet = memory.WorkingSetSize;
    return counters;
}

int cycles() {
    const char* configured = std::getenv("ORVANET_CYCLES");
    const int count = configured != nullptr ? std::atoi(configured) : 0;
    return count > 0 ? count : 15;
}

TEST_F(ServiceUnderTest, StartStopCyclesLeaveNoHandlesThreadsOrMemoryBehind) {
    const auto cycle = [&](int n) {
        ASSERT_EQ(startedResponse, exchange(R"({"command":"start"})")) << "cycle " << n;
        ASSERT_EQ(activeResponse, exchange(activeRequest));
        ASSERT_EQ(stoppedResponse, exchange(R"({"command":"stop"})"));
        ASSERT_EQ(inactiveResponse, exchange(activeRequest));
        ASSERT_TRUE(wfpdouble::nothingLeft()) << "cycle " << n;
        // The doubles and the capture record every call; forgetting them between cycles
        // keeps their growth out of the figures.
        wfpdouble::reset();
        enginedouble::reset();
        capture.clear();
    };
    for (int n = 0; n < 3; ++n) {
        cycle(n);
        if (HasFatalFailure()) {
            return;
        }
    }
    const Counters before = measure();
    const int total = cycles();
    for (int n = 0; n < total; ++n) {
        cycle(n);
        if (HasFatalFailure()) {
            return;
        }
    }
    const Counters after = measure();
    std::printf("%d cycles: handles %lu -> %lu, handle watermark %zu -> %zu, threads %d -> %d, "
                "private bytes %zu -> %zu, working set %zu -> %zu\n",
                total, before.handles, after.handles,
                static_cast<std::size_t>(before.handleWatermark),
                static_cast<std::size_t>(after.handleWatermark), before.threads, after.threads,
                before.privateBytes, after.privateBytes, before.workingSet, after.workingSet);
    // A leak of one handle or thread per cycle would show as `total` more; the slack is for
    // what the platform keeps for itself now and then.
    EXPECT_LE(after.handles, before.handles + 8);
    EXPECT_LE(after.handleWatermark, before.handleWatermark + 8 * 4);
    EXPECT_LE(after.threads, before.threads + 2);
    EXPECT_LE(after.privateBytes, before.privateBytes + 4 * 1024 * 1024);
}

} // namespace
