#include "DnsTestSupport.h"

#include "dns/DnsManager.h"

#include <cstring>
#include <set>
#include <string>
#include <vector>

using wfpdouble::callNames;
using wfpdouble::calls;

namespace {

constexpr NET_IFINDEX tunIndex = 23;

std::vector<std::string> successfulApplyCalls() {
    std::vector<std::string> names = {"FwpmEngineOpen0", "FwpmTransactionBegin0",
                                      "FwpmSubLayerAdd0"};
    names.insert(names.end(), 12, "FwpmFilterAdd0");
    names.push_back("FwpmTransactionCommit0");
    return names;
}

std::vector<std::string> upToFilter(int filterCount) {
    std::vector<std::string> names = {"FwpmEngineOpen0", "FwpmTransactionBegin0",
                                      "FwpmSubLayerAdd0"};
    names.insert(names.end(), static_cast<std::size_t>(filterCount), "FwpmFilterAdd0");
    return names;
}

std::vector<std::string> withRollback(std::vector<std::string> names) {
    names.push_back("FwpmTransactionAbort0");
    names.push_back("FwpmEngineClose0");
    return names;
}

class ApplyIsolationTest : public DnsTest {
protected:
    void SetUp() override {
        DnsTest::SetUp();
        iphlpdouble::interfaceAppears(L"orvantun", tunIndex);
    }

    // Idle as far as the outside can see: a restore makes no call, and a second apply
    // starts again with an open.
    void expectIdle(DnsManager& manager) {
        const std::size_t before = calls().size();
        EXPECT_TRUE(manager.restore().success);
        EXPECT_EQ(calls().size(), before) << "restore on an idle object must call nothing";
        EXPECT_TRUE(wfpdouble::nothingLeft());
    }
};

TEST_F(ApplyIsolationTest, SuccessfulApplyInstallsSessionSublayerAndTwelveFiltersInOrder) {
    DnsManager manager;
    const OperationResult result = manager.applyIsolation("orvantun");

    ASSERT_TRUE(result.success) << result.error;
    EXPECT_EQ(result.error, "");
    EXPECT_EQ(callNames(), successfulApplyCalls());

    const wfpdouble::Call& open = calls()[0];
    EXPECT_TRUE(open.serverNameNull);
    EXPECT_EQ(open.authnService, 10u);
    EXPECT_TRUE(open.authIdentityNull);
    ASSERT_TRUE(open.session.has_value());
    EXPECT_EQ(*open.session, expected::session());

    const HANDLE engine = calls()[0].engine;
    ASSERT_NE(engine, nullptr);
    for (const wfpdouble::Call& call : calls()) {
        if (call.name != "FwpmEngineOpen0") {
            EXPECT_EQ(call.engine, engine) << call.name;
        }
    }
    EXPECT_EQ(calls()[1].flags, 0u);

    ASSERT_TRUE(calls()[2].sublayer.has_value());
    EXPECT_EQ(*calls()[2].sublayer, expected::sublayer());
    EXPECT_TRUE(calls()[2].sdNull);

    const std::vector<wfpdouble::Filter> want = expected::twelveFilters(tunIndex);
    const std::vector<const wfpdouble::Filter*> got = wfpdouble::addedFilters();
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(*got[i], want[i]) << "filter " << i;
        EXPECT_TRUE(calls()[3 + i].sdNull) << "filter " << i;
    }

    EXPECT_EQ(wfpdouble::liveFilters().size(), 12u);
    EXPECT_EQ(wfpdouble::liveSublayers().count(wfpdouble::guidText(expected::sublayerKey)), 1u);
    EXPECT_EQ(wfpdouble::openEngines(), 1u);

    const std::vector<LogLine> lines = logLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(),
              (LogLine{"INFO", "DnsManager::applyIsolation - WFP DNS isolation enabled (tunnel "
                               "ifIndex=23)"}));
}

TEST_F(ApplyIsolationTest, SublayerKeyHasThePublishedByteLayout) {
    DnsManager manager;
    ASSERT_TRUE(manager.applyIsolation("orvantun").success);
    const unsigned char bytes[16] = {0x7D, 0x0F, 0x6A, 0x8F, 0xD2, 0x2E, 0x79, 0x4D,
                                     0xA2, 0x1F, 0x7B, 0x2D, 0x11, 0x41, 0x73, 0x98};
    EXPECT_EQ(std::memcmp(&calls()[2].sublayer->subLayerKey, bytes, 16), 0);
}

TEST_F(ApplyIsolationTest, EngineOpenFailureMakesNoFurtherCall) {
    wfpdouble::failOn("FwpmEngineOpen0", 1, 5);
    DnsManager manager;
    const OperationResult result = manager.applyIsolation("orvantun");
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.error, "FwpmEngineOpen0 failed: 5");
    EXPECT_EQ(callNames(), std::vector<std::string>{"FwpmEngineOpen0"});
    expectIdle(manager);
}

TEST_F(ApplyIsolationTest, EngineOpenWithNullHandleCountsAsFailure) {
    wfpdouble::nullHandleOnOpen();
    DnsManager manager;
    const OperationResult result = manager.applyIsolation("orvantun");
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.error, "FwpmEngineOpen0 failed: 0");
    EXPECT_EQ(callNames(), std::vector<std::string>{"FwpmEngineOpen0"});
    expectIdle(manager);
}

TEST_F(ApplyIsolationTest, TransactionBeginFailureClosesWithoutAbort) {
    wfpdouble::failOn("FwpmTransactionBegin0", 1, 0x80320017);
    DnsManager manager;
    const OperationResult result = manager.applyIsolation("orvantun");
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.error, "FwpmTransactionBegin0 failed: 2150760471");
    EXPECT_EQ(callNames(), (std::vector<std::string>{"FwpmEngineOpen0", "FwpmTransactionBegin0",
                                                     "FwpmEngineClose0"}));
    EXPECT_EQ(calls()[2].engine, calls()[0].engine);
    expectIdle(manager);
}

TEST_F(ApplyIsolationTest, SublayerFailureRollsBack) {
    wfpdouble::failOn("FwpmSubLayerAdd0", 1, 0x80320001);
    DnsManager manager;
    const OperationResult result = manager.applyIsolation("orvantun");
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.error, "FwpmSubLayerAdd0 failed: 2150760449");
    EXPECT_EQ(callNames(), withRollback(upToFilter(0)));
    expectIdle(manager);
}

TEST_F(ApplyIsolationTest, ExistingSublayerCountsAsAddedAndIsDeletedByKeyOnRestore) {
    wfpdouble::seedSublayer(expected::sublayerKey);
    DnsManager manager;
    const OperationResult result = manager.applyIsolation("orvantun");
    ASSERT_TRUE(result.success) << result.error;
    EXPECT_EQ(calls()[2].status, 0x80320009u);
    EXPECT_EQ(callNames(), successfulApplyCalls());

    wfpdouble::failOn("FwpmSubLayerDeleteByKey0", 1, 0x80320008);
    EXPECT_TRUE(manager.restore().success);
    const wfpdouble::Call& del = calls()[calls().size() - 2];
    EXPECT_EQ(del.name, "FwpmSubLayerDeleteByKey0");
    ASSERT_TRUE(del.key.has_value());
    EXPECT_EQ(*del.key, expected::sublayerKey);
    const std::vector<LogLine> lines = logLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2],
              (LogLine{"WARN", "DnsManager::restore - FwpmSubLayerDeleteByKey0 failed: "
                               "2150760456"}));
}

// Each of the twelve filter adds failing in turn.
class FilterFailureTest : public ApplyIsolationTest, public ::testing::WithParamInterface<int> {};

TEST_P(FilterFailureTest, FailureRollsBackEverythingAndStopsThere) {
    const int failing = GetParam(); // 1-based
    wfpdouble::failOn("FwpmFilterAdd0", failing, 0x80320025);
    DnsManager manager;
    const OperationResult result = manager.applyIsolation("orvantun");

    EXPECT_FALSE(result.success);
    const bool allow = failing % 2 == 1;
    EXPECT_EQ(result.error,
              std::string(allow ? "Failed to add allow filter: " : "Failed to add block filter: ") +
                  "FwpmFilterAdd0 failed (2150760485)");
    // No later filter is tried, the IPv6 layer included after an IPv4 failure.
    EXPECT_EQ(callNames(), withRollback(upToFilter(failing)));
    const std::vector<wfpdouble::Filter> want = expected::twelveFilters(tunIndex);
    EXPECT_EQ(*wfpdouble::addedFilters().back(), want[static_cast<std::size_t>(failing - 1)]);
    for (const wfpdouble::Call& call : calls()) {
        EXPECT_EQ(call.engine, calls()[0].engine) << call.name;
    }
    EXPECT_TRUE(wfpdouble::nothingLeft());
    for (const LogLine& line : logLines()) {
        EXPECT_EQ(line.message.find("enabled"), std::string::npos) << line;
    }
    expectIdle(manager);

    // A later apply starts from scratch, sublayer included.
    wfpdouble::reset();
    ASSERT_TRUE(manager.applyIsolation("orvantun").success);
    EXPECT_EQ(callNames(), successfulApplyCalls());
}

INSTANTIATE_TEST_SUITE_P(EachFilter, FilterFailureTest, ::testing::Range(1, 13));

TEST_F(ApplyIsolationTest, CommitFailureRollsBack) {
    wfpdouble::failOn("FwpmTransactionCommit0", 1, 0x8032000B);
    DnsManager manager;
    const OperationResult result = manager.applyIsolation("orvantun");
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.error, "FwpmTransactionCommit0 failed: 2150760459");
    std::vector<std::string> want = successfulApplyCalls();
    EXPECT_EQ(callNames(), withRollback(want));
    expectIdle(manager);
}

TEST_F(ApplyIsolationTest, SecondApplyWithAnotherAliasChangesNothing) {
    DnsManager manager;
    ASSERT_TRUE(manager.applyIsolation("orvantun").success);
    const std::size_t before = calls().size();
    const std::size_t lookups = iphlpdouble::aliasesAsked().size();
    capture.clear();

    const OperationResult again = manager.applyIsolation("something-else");
    EXPECT_TRUE(again.success);
    EXPECT_EQ(again.error, "");
    EXPECT_EQ(calls().size(), before);
    EXPECT_EQ(iphlpdouble::aliasesAsked().size(), lookups);
    EXPECT_EQ(logLines(),
              (std::vector<LogLine>{{"INFO", "DnsManager::applyIsolation - WFP isolation already "
                                             "active (ifIndex=23)"}}));
}

TEST_F(ApplyIsolationTest, ApplyRestoreApplyStartsFromScratch) {
    DnsManager manager;
    ASSERT_TRUE(manager.applyIsolation("orvantun").success);
    std::set<UINT64> firstIds = wfpdouble::liveFilters();
    ASSERT_TRUE(manager.restore().success);
    EXPECT_TRUE(wfpdouble::nothingLeft());

    const std::size_t start = calls().size();
    ASSERT_TRUE(manager.applyIsolation("orvantun").success);
    std::vector<std::string> second;
    for (std::size_t i = start; i < calls().size(); ++i) {
        second.push_back(calls()[i].name);
    }
    EXPECT_EQ(second, successfulApplyCalls());
    const std::set<UINT64> secondIds = wfpdouble::liveFilters();
    EXPECT_EQ(secondIds.size(), 12u);
    for (UINT64 id : secondIds) {
        EXPECT_EQ(firstIds.count(id), 0u) << id;
    }

    // The restore deletes exactly the twelve new identifiers.
    const std::size_t restoreStart = calls().size();
    ASSERT_TRUE(manager.restore().success);
    std::set<UINT64> deleted;
    for (std::size_t i = restoreStart; i < calls().size(); ++i) {
        if (calls()[i].name == "FwpmFilterDeleteById0") {
            deleted.insert(calls()[i].filterId);
        }
    }
    EXPECT_EQ(deleted, secondIds);
}

TEST_F(ApplyIsolationTest, UnresolvedInterfaceMakesNoWfpCall) {
    iphlpdouble::reset();
    DnsManager manager;
    const OperationResult result = manager.applyIsolation("orvantun");
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.error.rfind("Failed to resolve tunnel interface 'orvantun': "
                                 "ConvertInterfaceAliasToLuid failed: 2 (waited ",
                                 0),
              0u)
        << result.error;
    EXPECT_TRUE(calls().empty());
    expectIdle(manager);
}

} // namespace
