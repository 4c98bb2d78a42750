// The worker's life as the log shows it, the engine's parameters and the log bridge.
#include "VpnTestSupport.h"

#include <climits>
#include <map>

namespace {

using End = enginedouble::Program::End;

class WorkerTest : public VpnTest {};

TEST_F(WorkerTest, EngineGetsTheFixedParametersOnEveryLaunch) {
    VpnService vpn(&dns);
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(vpn.start().success);
        ASSERT_TRUE(vpn.stop().success);
    }
    const auto runs = enginedouble::runs();
    ASSERT_EQ(2u, runs.size());
    for (const auto& run : runs) {
        EXPECT_EQ("socks5://127.0.0.1:12735", run.proxyUrl);
        EXPECT_EQ("orvantun", run.tunName);
        EXPECT_EQ("10.255.255.255/32", run.bypass);
        EXPECT_EQ(2, run.dnsStrategy);
        EXPECT_FALSE(run.rootPrivilege);
        EXPECT_EQ(4, run.verbosity);
    }
    EXPECT_EQ(concat(workerLinesFor(0), workerLinesFor(0)), workerMessages());
}

TEST_F(WorkerTest, EngineThatReturnsZeroAtOnceIsAFailedStartWithoutErrorLine) {
    enginedouble::queue({.end = End::AtOnce, .code = 0});
    VpnService vpn(&dns);
    const OperationResult result = vpn.start();
    EXPECT_FALSE(result.success);
    EXPECT_EQ("tun2proxy thread exited prematurely", result.error);
    EXPECT_EQ(workerLinesFor(0), workerMessages());
    EXPECT_FALSE(vpn.isRunning());
    const std::vector<std::string> expected = {
        "VpnService::start - Entry",
        "VpnService::start - Starting tun2proxy...",
        "VpnService::startTun2proxy - Starting thread...",
        "VpnService::startTun2proxy - Log callback set",
        "VpnService::startTun2proxy - Thread exited prematurely",
    };
    EXPECT_EQ(expected, serviceMessages());
    EXPECT_EQ("ERROR", levelOfMessage("VpnService::startTun2proxy - Thread exited prematurely"));
    // Nothing was installed, and the worker was joined: a new start may follow at once.
    EXPECT_TRUE(wfpdouble::calls().empty());
    ASSERT_TRUE(vpn.start().success);
    EXPECT_TRUE(vpn.stop().success);
}

// Each code the engine returns during the start: the client's answer stays the same, the
// log carries the code and what it means.
TEST_F(WorkerTest, EachRunCodeIsLoggedWithItsMeaning) {
    VpnService vpn(&dns);
    for (const int code : {-1, -2, -3, -4, 7}) {
        SCOPED_TRACE(code);
        capture.clear();
        enginedouble::queue({.end = End::AtOnce, .code = code});
        EXPECT_EQ("tun2proxy thread exited prematurely", vpn.start().error);
        EXPECT_EQ(workerLinesFor(code), workerMessages());
        const std::string number = std::to_string(code);
        EXPECT_EQ("INFO", levelOfMessage(
                              "tun2proxyThreadFunc - tun2proxy_with_name_run returned: " + number));
        EXPECT_EQ("ERROR",
                  levelOfMessage("tun2proxyThreadFunc - Error: tun2proxy returned non-zero code: " +
                                 number));
        EXPECT_EQ("INFO", levelOfMessage("tun2proxyThreadFunc - Code " + number + ": " +
                                         runCodeMeaning(code)));
    }
}

TEST_F(WorkerTest, ExceptionsFromTheEngineEndTheWorkerNormally) {
    enginedouble::queue({.end = End::Throws, .what = "tunnel device busy"});
    enginedouble::queue({.end = End::ThrowsUnknown});
    VpnService vpn(&dns);
    for (const char* line : {"tun2proxyThreadFunc - Exception: tunnel device busy",
                             "tun2proxyThreadFunc - Unknown exception"}) {
        capture.clear();
        EXPECT_EQ("tun2proxy thread exited prematurely", vpn.start().error);
        const std::vector<std::string> expected = {
            "tun2proxyThreadFunc - Thread started",
            "tun2proxyThreadFunc - Starting tun2proxy with proxy_url=socks5://127.0.0.1:12735, "
            "tun=orvantun",
            "tun2proxyThreadFunc - About to call tun2proxy_with_name_run...",
            line,
            "tun2proxyThreadFunc - Thread exiting",
        };
        EXPECT_EQ(expected, workerMessages());
        EXPECT_EQ("ERROR", levelOfMessage(line));
        EXPECT_FALSE(vpn.isRunning());
    }
}

TEST_F(WorkerTest, EngineThatFailsAfterStartAnsweredIsNotNoticedByStart) {
    enginedouble::queue(
        {.end = End::AfterDelay, .code = 3, .delay = std::chrono::milliseconds(1500)});
    VpnService vpn(&dns);
    EXPECT_TRUE(vpn.start().success);
    ASSERT_TRUE(waitUntilEnded(vpn));
    // Ended: the flag is clear, the worker not yet joined.
    EXPECT_FALSE(vpn.isRunning());
    EXPECT_FALSE(vpn.getStatus().running);
    EXPECT_EQ(workerLinesFor(3), workerMessages());
}

TEST_F(WorkerTest, LogBridgeMapsEngineLevelsAndNullMessages) {
    VpnService vpn(&dns);
    enginedouble::queue({.lines = {{1, "one"},
                                   {2, "two"},
                                   {3, "three"},
                                   {4, "four"},
                                   {5, "five"},
                                   {0, "zero"},
                                   {-7, "negative"},
                                   {6, "six"},
                                   {2, std::nullopt},
                                   {3, "{} kept as it is"}}});
    ASSERT_TRUE(vpn.start().success);
    ASSERT_TRUE(vpn.stop().success);
    std::vector<LogLine> bridged;
    for (const LogLine& line : logLines()) {
        if (line.message.rfind("tun2proxy: ", 0) == 0) {
            bridged.push_back(line);
        }
    }
    const std::vector<LogLine> expected = {
        {"ERROR", "tun2proxy: one"},     {"WARN", "tun2proxy: two"},
        {"INFO", "tun2proxy: three"},    {"DEBUG", "tun2proxy: four"},
        {"DEBUG", "tun2proxy: five"},    {"INFO", "tun2proxy: zero"},
        {"INFO", "tun2proxy: negative"}, {"INFO", "tun2proxy: six"},
        {"WARN", "tun2proxy: (null)"},   {"INFO", "tun2proxy: {} kept as it is"},
    };
    EXPECT_EQ(expected, bridged);
}

TEST_F(WorkerTest, LogBridgeTakesTheEngineLinesFromSeveralOfItsThreadsAtOnce) {
    VpnService vpn(&dns);
    enginedouble::queue({.lines = {{1, "a"}, {6, std::nullopt}, {5, "c"}}, .lineThreads = 4});
    ASSERT_TRUE(vpn.start().success);
    ASSERT_TRUE(vpn.stop().success);
    std::map<std::pair<std::string, std::string>, int> seen;
    for (const LogLine& line : logLines()) {
        if (line.message.rfind("tun2proxy: ", 0) == 0) {
            ++seen[{line.level, line.message}];
        }
    }
    const std::map<std::pair<std::string, std::string>, int> expected = {
        {{"ERROR", "tun2proxy: a"}, 4},
        {{"INFO", "tun2proxy: (null)"}, 4},
        {{"DEBUG", "tun2proxy: c"}, 4},
    };
    EXPECT_EQ(expected, seen);
}

TEST_F(WorkerTest, LogBridgeIsRegisteredWithNullContextOnEveryAttempt) {
    enginedouble::queue({.end = End::AfterDelay, .delay = std::chrono::milliseconds(1500)});
    VpnService vpn(&dns);
    ASSERT_TRUE(vpn.start().success);
    ASSERT_TRUE(waitUntilEnded(vpn));
    // Refused because the ended worker was not joined yet; the bridge is registered anyway.
    EXPECT_EQ("previous instance still stopping - call stop() first", vpn.start().error);
    ASSERT_TRUE(vpn.stop().success);
    ASSERT_TRUE(vpn.start().success);
    ASSERT_TRUE(vpn.stop().success);

    const auto journal = enginedouble::journal();
    EXPECT_EQ(3, std::count(journal.begin(), journal.end(), "set_log_callback"));
    EXPECT_EQ(&tun2proxyLogCallback, enginedouble::registeredCallback());
    EXPECT_EQ(nullptr, enginedouble::registeredContext());
    // Registered before the run that it is meant for.
    EXPECT_EQ("set_log_callback", journal.front());
}

TEST_F(WorkerTest, LogBridgeTakesLinesFromManyThreadsWithoutAnyWorker) {
    constexpr int threads = 8;
    constexpr int perThread = 200;
    std::vector<std::thread> engineThreads;
    for (int t = 0; t < threads; ++t) {
        engineThreads.emplace_back([t] {
            for (int i = 0; i < perThread; ++i) {
                const std::string text = "t" + std::to_string(t) + " line " + std::to_string(i);
                tun2proxyLogCallback(3, text.c_str(), nullptr);
            }
        });
    }
    for (auto& thread : engineThreads) {
        thread.join();
    }
    // Each line whole and once; each thread's lines in its own order.
    std::vector<int> next(threads, 0);
    int total = 0;
    for (const std::string& message : messages({"tun2proxy: t"})) {
        const int t = message[std::string("tun2proxy: t").size()] - '0';
        ASSERT_EQ("tun2proxy: t" + std::to_string(t) + " line " + std::to_string(next[t]), message);
        ++next[t];
        ++total;
    }
    EXPECT_EQ(threads * perThread, total);
}

} // namespace
