// The shared model of the filtering platform answers each case with the platform's own
// status: one row a case, from a fresh model brought to the state the row needs.
#include "PlatformModel.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

using namespace wfpdouble;

const GUID ours = {0x8f6a0f7d, 0x2ed2, 0x4d79, {0xa2, 0x1f, 0x7b, 0x2d, 0x11, 0x41, 0x73, 0x98}};
const GUID other = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
const HANDLE unknown = reinterpret_cast<HANDLE>(0x9990);

struct Row {
    const char* what;
    std::function<Answer(PlatformModel&, HANDLE)> act;
    DWORD status;
};

Filter filterIn(const GUID& sublayer) {
    Filter filter;
    filter.name = L"f";
    filter.subLayerKey = sublayer;
    return filter;
}

UINT64 addFilter(PlatformModel& m, HANDLE e, const GUID& sublayer) {
    UINT64 id = 0;
    m.addFilter(e, filterIn(sublayer), id);
    return id;
}

Answer tryAddFilter(PlatformModel& m, HANDLE e) {
    UINT64 id = 0;
    return m.addFilter(e, filterIn(ours), id);
}

// Our sublayer added, uncommitted, by a second session.
void pendingInAnotherSession(PlatformModel& m) {
    const HANDLE second = m.openEngine();
    m.beginTransaction(second);
    m.addSublayer(second, ours);
}

class PlatformModelStatus : public ::testing::TestWithParam<Row> {};

TEST_P(PlatformModelStatus, AnswersThePlatformsStatus) {
    PlatformModel model(0x100, 1);
    const HANDLE engine = model.openEngine();
    EXPECT_EQ(GetParam().act(model, engine).status, GetParam().status) << GetParam().what;
}

const Row rows[] = {
    {"close an unknown engine", [](PlatformModel& m, HANDLE) { return m.closeEngine(unknown); },
     status::invalidHandle},
    {"begin on an unknown engine",
     [](PlatformModel& m, HANDLE) { return m.beginTransaction(unknown); }, status::invalidHandle},
    {"begin twice",
     [](PlatformModel& m, HANDLE e) {
         m.beginTransaction(e);
         return m.beginTransaction(e);
     },
     status::transactionInProgress},
    {"commit without a transaction",
     [](PlatformModel& m, HANDLE e) { return m.commitTransaction(e); }, status::noTransaction},
    {"abort without a transaction",
     [](PlatformModel& m, HANDLE e) { return m.abortTransaction(e); }, status::noTransaction},
    {"add a sublayer twice",
     [](PlatformModel& m, HANDLE e) {
         m.addSublayer(e, ours);
         return m.addSublayer(e, ours);
     },
     status::alreadyExists},
    {"add a sublayer another session holds pending",
     [](PlatformModel& m, HANDLE e) {
         pendingInAnotherSession(m);
         return m.addSublayer(e, ours);
     },
     status::alreadyExists},
    {"add a sublayer seeded before the session",
     [](PlatformModel& m, HANDLE e) {
         m.seedSublayer(ours);
         return m.addSublayer(e, ours);
     },
     status::alreadyExists},
    {"delete a sublayer that does not exist",
     [](PlatformModel& m, HANDLE e) { return m.deleteSublayer(e, ours); },
     status::sublayerNotFound},
    {"delete another sublayer than the one that exists",
     [](PlatformModel& m, HANDLE e) {
         m.addSublayer(e, ours);
         return m.deleteSublayer(e, other);
     },
     status::sublayerNotFound},
    {"delete a sublayer aborted with its transaction",
     [](PlatformModel& m, HANDLE e) {
         m.beginTransaction(e);
         m.addSublayer(e, ours);
         m.abortTransaction(e);
         return m.deleteSublayer(e, ours);
     },
     status::sublayerNotFound},
    {"delete a sublayer that went with its closed session",
     [](PlatformModel& m, HANDLE e) {
         m.addSublayer(e, ours);
         m.closeEngine(e);
         return m.deleteSublayer(m.openEngine(), ours);
     },
     status::sublayerNotFound},
    {"delete a seeded sublayer",
     [](PlatformModel& m, HANDLE e) {
         m.seedSublayer(ours);
         return m.deleteSublayer(e, ours);
     },
     0},
    {"delete a sublayer that holds a filter",
     [](PlatformModel& m, HANDLE e) {
         m.addSublayer(e, ours);
         addFilter(m, e, ours);
         return m.deleteSublayer(e, ours);
     },
     status::inUse},
    {"delete a sublayer that holds a filter pending in another session",
     [](PlatformModel& m, HANDLE e) {
         m.addSublayer(e, ours);
         const HANDLE second = m.openEngine();
         m.beginTransaction(second);
         addFilter(m, second, ours);
         return m.deleteSublayer(e, ours);
     },
     status::inUse},
    {"delete a sublayer once its filters are deleted",
     [](PlatformModel& m, HANDLE e) {
         m.addSublayer(e, ours);
         m.deleteFilter(e, addFilter(m, e, ours));
         return m.deleteSublayer(e, ours);
     },
     0},
    {"delete a sublayer through an unknown engine",
     [](PlatformModel& m, HANDLE e) {
         m.addSublayer(e, ours);
         return m.deleteSublayer(unknown, ours);
     },
     status::invalidHandle},
    {"add a filter to a missing sublayer",
     [](PlatformModel& m, HANDLE e) { return tryAddFilter(m, e); }, status::sublayerNotFound},
    {"add a filter to a sublayer another session holds pending",
     [](PlatformModel& m, HANDLE e) {
         pendingInAnotherSession(m);
         return tryAddFilter(m, e);
     },
     status::sublayerNotFound},
    {"add a filter to a sublayer another session committed",
     [](PlatformModel& m, HANDLE e) {
         m.addSublayer(m.openEngine(), ours);
         return tryAddFilter(m, e);
     },
     0},
    {"delete a filter that does not exist",
     [](PlatformModel& m, HANDLE e) { return m.deleteFilter(e, 424242); }, status::filterNotFound},
    {"delete a filter twice",
     [](PlatformModel& m, HANDLE e) {
         m.addSublayer(e, ours);
         const UINT64 id = addFilter(m, e, ours);
         m.deleteFilter(e, id);
         return m.deleteFilter(e, id);
     },
     status::filterNotFound},
    {"delete a filter aborted with its transaction",
     [](PlatformModel& m, HANDLE e) {
         m.addSublayer(e, ours);
         m.beginTransaction(e);
         const UINT64 id = addFilter(m, e, ours);
         m.abortTransaction(e);
         return m.deleteFilter(e, id);
     },
     status::filterNotFound},
    {"delete a filter through an unknown engine",
     [](PlatformModel& m, HANDLE e) {
         m.addSublayer(e, ours);
         return m.deleteFilter(unknown, addFilter(m, e, ours));
     },
     status::invalidHandle},
};

INSTANTIATE_TEST_SUITE_P(Cases, PlatformModelStatus, ::testing::ValuesIn(rows));

TEST(PlatformModel, CommitKeepsAndCloseTakesWhatTheSessionAdded) {
    PlatformModel model(0x100, 1);
    const HANDLE engine = model.openEngine();
    ASSERT_EQ(model.beginTransaction(engine).status, 0u);
    ASSERT_EQ(model.addSublayer(engine, ours).status, 0u);
    const UINT64 id = addFilter(model, engine, ours);
    EXPECT_EQ(model.openTransactions(), 1u);
    // Pending: live for the session, but nothing the platform enforces yet.
    EXPECT_TRUE(model.committedFilters().empty());
    ASSERT_EQ(model.commitTransaction(engine).status, 0u);
    EXPECT_EQ(model.openTransactions(), 0u);
    EXPECT_EQ(model.liveFilters().count(id), 1u);
    ASSERT_EQ(model.committedFilters().size(), 1u);
    EXPECT_EQ(filterIn(ours), model.committedFilters()[0]);
    EXPECT_TRUE(model.sublayerHoldsFilters(guidText(ours)));
    EXPECT_EQ(model.liveSublayers().size(), 1u);
    ASSERT_EQ(model.closeEngine(engine).status, 0u);
    EXPECT_TRUE(model.liveFilters().empty());
    EXPECT_TRUE(model.committedFilters().empty());
    EXPECT_TRUE(model.liveSublayers().empty());
    EXPECT_EQ(model.openEngines(), 0u);
}

} // namespace
