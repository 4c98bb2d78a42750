#include "DnsTestSupport.h"

#include "dns/DnsManager.h"

#include <optional>
#include <string>
#include <vector>

using wfpdouble::calls;

namespace {

constexpr NET_IFINDEX tunIndex = 7;

class RestoreTest : public DnsTest {
protected:
    void SetUp() override {
        DnsTest::SetUp();
        iphlpdouble::interfaceAppears(L"orvantun", tunIndex);
    }

    // The ids of the twelve filters, in the order they were added.
    std::vector<UINT64> addedIds() const {
        std::vector<UINT64> ids;
        for (const wfpdouble::Call& call : calls()) {
            if (call.name == "FwpmFilterAdd0") {
                ids.push_back(call.filterId);
            }
        }
        return ids;
    }

    // What a restore must do, given the apply's filter ids.
    static std::vector<std::string> restoreCalls() {
        std::vector<std::string> names(12, "FwpmFilterDeleteById0");
        names.push_back("FwpmSubLayerDeleteByKey0");
        names.push_back("FwpmEngineClose0");
        return names;
    }

    std::vector<const wfpdouble::Call*> callsFrom(std::size_t start) const {
        std::vector<const wfpdouble::Call*> tail;
        for (std::size_t i = start; i < calls().size(); ++i) {
            tail.push_back(&calls()[i]);
        }
        return tail;
    }

    void expectRestoreSequence(std::size_t start, const std::vector<UINT64>& ids, HANDLE engine) {
        const std::vector<const wfpdouble::Call*> tail = callsFrom(start);
        std::vector<std::string> names;
        for (const wfpdouble::Call* call : tail) {
            names.push_back(call->name);
            EXPECT_EQ(call->engine, engine) << call->name;
        }
        ASSERT_EQ(names, restoreCalls());
        for (std::size_t i = 0; i < 12; ++i) {
            EXPECT_EQ(tail[i]->filterId, ids[i]) << "delete " << i;
        }
        ASSERT_TRUE(tail[12]->key.has_value());
        EXPECT_EQ(*tail[12]->key, expected::sublayerKey);
    }
};

TEST_F(RestoreTest, RestoreOnNewObjectDoesNothing) {
    DnsManager manager;
    const OperationResult result = manager.restore();
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.error, "");
    EXPECT_TRUE(calls().empty());
    EXPECT_TRUE(logLines().empty());
}

TEST_F(RestoreTest, RestoreDeletesInOrderThenSublayerThenCloses) {
    DnsManager manager;
    ASSERT_TRUE(manager.applyIsolation("orvantun").success);
    const std::vector<UINT64> ids = addedIds();
    const HANDLE engine = calls()[0].engine;
    const std::size_t start = calls().size();
    capture.clear();

    const OperationResult result = manager.restore();
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.error, "");
    expectRestoreSequence(start, ids, engine);
    EXPECT_TRUE(wfpdouble::nothingLeft());
    EXPECT_EQ(logLines(),
              (std::vector<LogLine>{{"INFO", "DnsManager::restore - WFP DNS isolation disabled"}}));

    // The second restore finds nothing to do.
    const std::size_t afterFirst = calls().size();
    capture.clear();
    EXPECT_TRUE(manager.restore().success);
    EXPECT_EQ(calls().size(), afterFirst);
    EXPECT_TRUE(logLines().empty());
}

// The filter left behind keeps its sublayer, as on the platform: both are warned about, and
// the close of the dynamic session takes them.
TEST_F(RestoreTest, FailingFifthDeleteIsWarnedAndTheRestStillRun) {
    DnsManager manager;
    ASSERT_TRUE(manager.applyIsolation("orvantun").success);
    const std::vector<UINT64> ids = addedIds();
    const HANDLE engine = calls()[0].engine;
    const std::size_t start = calls().size();
    capture.clear();
    wfpdouble::failOn("FwpmFilterDeleteById0", 5, 0x80320003);

    const OperationResult result = manager.restore();
    EXPECT_TRUE(result.success);
    expectRestoreSequence(start, ids, engine);
    EXPECT_EQ(logLines(),
              (std::vector<LogLine>{{"WARN", "DnsManager::restore - FwpmFilterDeleteById0(" +
                                                 std::to_string(ids[4]) + ") failed: 2150760451"},
                                    {"WARN", "DnsManager::restore - FwpmSubLayerDeleteByKey0 "
                                             "failed: 2150760458"},
                                    {"INFO", "DnsManager::restore - WFP DNS isolation disabled"}}));
    // The dynamic session took the undeleted filter with it.
    EXPECT_TRUE(wfpdouble::nothingLeft());
}

TEST_F(RestoreTest, DestructorBehavesAsRestore) {
    std::vector<UINT64> ids;
    HANDLE engine = nullptr;
    std::size_t start = 0;
    {
        DnsManager manager;
        ASSERT_TRUE(manager.applyIsolation("orvantun").success);
        ids = addedIds();
        engine = calls()[0].engine;
        start = calls().size();
        capture.clear();
    }
    expectRestoreSequence(start, ids, engine);
    EXPECT_TRUE(wfpdouble::nothingLeft());
    EXPECT_EQ(logLines(),
              (std::vector<LogLine>{{"INFO", "DnsManager::restore - WFP DNS isolation disabled"}}));
}

TEST_F(RestoreTest, DestructorOfIdleObjectCallsNothing) {
    { DnsManager manager; }
    EXPECT_TRUE(calls().empty());
    EXPECT_TRUE(logLines().empty());
}

} // namespace
