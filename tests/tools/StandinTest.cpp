// The stand-in fwpuclnt.dll loaded as the service would load it, fed the filter set the DNS
// isolation must install and sets with one thing wrong.
#include "PlatformModel.h"
#include "WfpExpected.h"
#include "platform/ModuleFolder.h"
#include "platform/Owners.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using EngineOpen = DWORD(WINAPI*)(const wchar_t*, UINT32, SEC_WINNT_AUTH_IDENTITY_W*,
                                  const FWPM_SESSION0*, HANDLE*);
using EngineOnly = DWORD(WINAPI*)(HANDLE);
using TransactionBegin = DWORD(WINAPI*)(HANDLE, UINT32);
using SubLayerAdd = DWORD(WINAPI*)(HANDLE, const FWPM_SUBLAYER0*, PSECURITY_DESCRIPTOR);
using SubLayerDelete = DWORD(WINAPI*)(HANDLE, const GUID*);
using FilterAdd = DWORD(WINAPI*)(HANDLE, const FWPM_FILTER0*, PSECURITY_DESCRIPTOR, UINT64*);
using FilterDelete = DWORD(WINAPI*)(HANDLE, UINT64);

struct Interface {
    std::wstring alias;
    UINT32 index = 0;
};

// Some interface the platform knows, found without the stand-in's help.
Interface anyInterface() {
    ULONG size = 64 * 1024;
    std::vector<unsigned char> buffer(size);
    auto* list = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
    if (GetAdaptersAddresses(AF_UNSPEC, 0, nullptr, list, &size) != NO_ERROR) {
        return {};
    }
    for (auto* adapter = list; adapter != nullptr; adapter = adapter->Next) {
        if (adapter->FriendlyName != nullptr && adapter->IfIndex != 0) {
            return {adapter->FriendlyName, adapter->IfIndex};
        }
    }
    return {};
}

// A filter as the platform call takes it, with the storage its pointers point into.
struct RawFilter {
    std::wstring name;
    std::vector<FWPM_FILTER_CONDITION0> conditions;
    FWPM_FILTER0 filter{};
};

std::unique_ptr<RawFilter> raw(const wfpdouble::Filter& f) {
    auto out = std::make_unique<RawFilter>();
    out->name = f.name.value_or(L"");
    for (const wfpdouble::Condition& c : f.conditions) {
        FWPM_FILTER_CONDITION0 condition{};
        condition.fieldKey = c.fieldKey;
        condition.matchType = c.matchType;
        condition.conditionValue.type = c.type;
        if (c.type == FWP_UINT8) {
            condition.conditionValue.uint8 = static_cast<UINT8>(c.value);
        } else if (c.type == FWP_UINT16) {
            condition.conditionValue.uint16 = static_cast<UINT16>(c.value);
        } else {
            condition.conditionValue.uint32 = static_cast<UINT32>(c.value);
        }
        out->conditions.push_back(condition);
    }
    FWPM_FILTER0& filter = out->filter;
    filter.displayData.name = out->name.data();
    filter.layerKey = f.layerKey;
    filter.subLayerKey = f.subLayerKey;
    filter.weight.type = f.weightType;
    filter.weight.uint8 = static_cast<UINT8>(f.weightValue);
    filter.numFilterConditions = f.numFilterConditions;
    filter.filterCondition = out->conditions.data();
    filter.action.type = f.actionType;
    return out;
}

template <typename Function>
Function entryOf(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

class StandinTest : public ::testing::Test {
protected:
    template <typename Function>
    static Function entry(const char* name) {
        return entryOf<Function>(module, name);
    }

    static void SetUpTestSuite() {
        folder = std::make_unique<TempFolder>("fwpuclnt-standin");
        const auto built = (moduleFolder(nullptr) / STANDIN_FROM_TEST).lexically_normal();
        std::filesystem::copy_file(built, folder->path() / L"fwpuclnt.dll");
        tunnel = anyInterface();
        useAlias(tunnel.alias);
        // By full path: the platform's own fwpuclnt must not be the one loaded here.
        module = LoadLibraryW((folder->path() / L"fwpuclnt.dll").c_str());
    }

    static void TearDownTestSuite() {
        FreeLibrary(module);
        folder.reset();
    }

    static void useAlias(const std::wstring& alias) {
        std::ofstream out(folder->path() / L"fwpuclnt-alias.txt", std::ios::binary);
        for (wchar_t c : alias) {
            out.put(static_cast<char>(c));
        }
    }

    void SetUp() override {
        ASSERT_NE(module, nullptr);
        ASSERT_NE(tunnel.index, 0u) << "no interface to name in the allow filters";
        useAlias(tunnel.alias);
        open = entry<EngineOpen>("FwpmEngineOpen0");
        close = entry<EngineOnly>("FwpmEngineClose0");
        begin = entry<TransactionBegin>("FwpmTransactionBegin0");
        commit = entry<EngineOnly>("FwpmTransactionCommit0");
        abort = entry<EngineOnly>("FwpmTransactionAbort0");
        addSublayer = entry<SubLayerAdd>("FwpmSubLayerAdd0");
        deleteSublayer = entry<SubLayerDelete>("FwpmSubLayerDeleteByKey0");
        addFilter = entry<FilterAdd>("FwpmFilterAdd0");
        deleteFilter = entry<FilterDelete>("FwpmFilterDeleteById0");
        for (void* entry :
             {(void*)open, (void*)close, (void*)begin, (void*)commit, (void*)abort,
              (void*)addSublayer, (void*)deleteSublayer, (void*)addFilter, (void*)deleteFilter}) {
            ASSERT_NE(entry, nullptr);
        }
        rejectedBefore = std::stoi(state()["rejected"]);
    }

    void TearDown() override {
        // Every case leaves the platform empty again.
        auto s = state();
        EXPECT_EQ(s["engines"], "0");
        EXPECT_EQ(s["filters"], "0");
        EXPECT_EQ(s["sublayers"], "0");
    }

    static std::map<std::string, std::string> state() {
        std::map<std::string, std::string> values{{"rejected", "0"}};
        std::istringstream lines(readFile(folder->path() / L"fwpuclnt-state.txt"));
        std::string line;
        while (std::getline(lines, line)) {
            const auto space = line.find(' ');
            if (space != std::string::npos && line.compare(0, 7, "filter ") != 0) {
                values[line.substr(0, space)] = line.substr(space + 1);
            }
        }
        return values;
    }

    int newRejections() { return std::stoi(state()["rejected"]) - rejectedBefore; }

    HANDLE openSession(const std::wstring& name = L"Orvanet WFP session",
                       UINT32 flags = wfpmodel::sessionDynamic) {
        FWPM_SESSION0 session{};
        std::wstring sessionName = name;
        std::wstring description = L"Orvanet DNS leak prevention";
        session.displayData.name = sessionName.data();
        session.displayData.description = description.data();
        session.flags = flags;
        HANDLE engine = nullptr;
        lastStatus = open(nullptr, wfpmodel::authnWinNt, nullptr, &session, &engine);
        return engine;
    }

    DWORD addTheSublayer(HANDLE engine, UINT16 weight = 0x8000) {
        FWPM_SUBLAYER0 sublayer{};
        std::wstring name = L"Orvanet DNS leak prevention";
        std::wstring description = L"Blocks outbound DNS on non-tunnel interfaces";
        sublayer.subLayerKey = wfpmodel::sublayerKey;
        sublayer.displayData.name = name.data();
        sublayer.displayData.description = description.data();
        sublayer.weight = weight;
        return addSublayer(engine, &sublayer, nullptr);
    }

    // Adds the filters in turn until one is refused; returns the ids of those accepted.
    std::vector<UINT64> addFilters(HANDLE engine, const std::vector<wfpdouble::Filter>& set,
                                   DWORD& failed) {
        std::vector<UINT64> ids;
        failed = 0;
        for (const wfpdouble::Filter& f : set) {
            auto filter = raw(f);
            UINT64 id = 0;
            failed = addFilter(engine, &filter->filter, nullptr, &id);
            if (failed != 0) {
                break;
            }
            ids.push_back(id);
        }
        return ids;
    }

    void expectFilterRefused(std::vector<wfpdouble::Filter> set, std::size_t acceptedFirst) {
        HANDLE engine = openSession();
        ASSERT_NE(engine, nullptr);
        ASSERT_EQ(begin(engine, 0), 0u);
        ASSERT_EQ(addTheSublayer(engine), 0u);
        DWORD failed = 0;
        const auto ids = addFilters(engine, set, failed);
        EXPECT_NE(failed, 0u);
        EXPECT_EQ(ids.size(), acceptedFirst);
        EXPECT_EQ(newRejections(), 1);
        EXPECT_EQ(abort(engine), 0u);
        EXPECT_EQ(state()["filters"], "0");
        EXPECT_EQ(close(engine), 0u);
    }

    static inline std::unique_ptr<TempFolder> folder;
    static inline HMODULE module = nullptr;
    static inline Interface tunnel;

    EngineOpen open = nullptr;
    EngineOnly close = nullptr;
    TransactionBegin begin = nullptr;
    EngineOnly commit = nullptr;
    EngineOnly abort = nullptr;
    SubLayerAdd addSublayer = nullptr;
    SubLayerDelete deleteSublayer = nullptr;
    FilterAdd addFilter = nullptr;
    FilterDelete deleteFilter = nullptr;
    DWORD lastStatus = 0;
    int rejectedBefore = 0;
};

// What the kernel of a test network is told to enforce: nothing while the filters are
// pending, the twelve once committed, nothing once the session closes, each change under a
// new generation; and the engine lock, by which the enforcing agent sees the process end,
// held exactly while a session is open.
TEST_F(StandinTest, OnlyCommittedFiltersAreEnforcedAndTheLockFollowsTheSession) {
    struct Rules {
        unsigned long long generation = 0;
        std::string script;
    };
    const auto rules = [] {
        std::istringstream in(readFile(folder->path() / L"fwpuclnt-nft.txt"));
        Rules read;
        std::string word;
        in >> word >> read.generation;
        in.ignore(1);
        read.script.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        return read;
    };
    const auto lockHeld = [] {
        const UniqueHandle other(CreateFileW((folder->path() / L"fwpuclnt-engine.lock").c_str(),
                                             GENERIC_READ | GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                             nullptr, OPEN_ALWAYS, 0, nullptr));
        OVERLAPPED whole{};
        if (!LockFileEx(other.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                        &whole)) {
            return true;
        }
        UnlockFileEx(other.get(), 0, 1, 0, &whole);
        return false;
    };
    const std::string none = "table inet orvanet_wfp {}\ndelete table inet orvanet_wfp\n";
    const auto count = [](const std::string& text, const std::string& part) {
        std::size_t found = 0;
        for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
            ++found;
        }
        return found;
    };

    EXPECT_FALSE(lockHeld());
    HANDLE engine = openSession();
    ASSERT_NE(engine, nullptr);
    EXPECT_TRUE(lockHeld());
    ASSERT_EQ(begin(engine, 0), 0u);
    ASSERT_EQ(addTheSublayer(engine), 0u);
    DWORD failed = 0;
    ASSERT_EQ(12u, addFilters(engine, wfpmodel::twelveFilters(tunnel.index), failed).size());
    const Rules pending = rules();
    EXPECT_EQ(none, pending.script);
    ASSERT_EQ(commit(engine), 0u);
    const Rules committed = rules();
    EXPECT_GT(committed.generation, pending.generation);
    EXPECT_EQ(6u, count(committed.script, " oif " + std::to_string(tunnel.index) + " accept "));
    EXPECT_EQ(6u, count(committed.script, " drop comment "));
    ASSERT_EQ(close(engine), 0u);
    const Rules closed = rules();
    EXPECT_GT(closed.generation, committed.generation);
    EXPECT_EQ(none, closed.script);
    EXPECT_FALSE(lockHeld());
}

TEST_F(StandinTest, TheWholeSetIsAcceptedAndRemovedAgain) {
    HANDLE engine = openSession();
    ASSERT_EQ(lastStatus, 0u);
    ASSERT_NE(engine, nullptr);
    ASSERT_EQ(begin(engine, 0), 0u);
    ASSERT_EQ(addTheSublayer(engine), 0u);
    DWORD failed = 0;
    const auto ids = addFilters(engine, wfpmodel::twelveFilters(tunnel.index), failed);
    ASSERT_EQ(failed, 0u) << state()["last-rejection"];
    ASSERT_EQ(ids.size(), 12u);
    ASSERT_EQ(commit(engine), 0u);

    auto live = state();
    EXPECT_EQ(live["engines"], "1");
    EXPECT_EQ(live["transactions"], "0");
    EXPECT_EQ(live["sublayers"], "1");
    EXPECT_EQ(live["filters"], "12");
    EXPECT_EQ(newRejections(), 0) << live["last-rejection"];
    const std::string text = readFile(folder->path() / L"fwpuclnt-state.txt");
    EXPECT_NE(text.find(" Orvanet DoT allow (TCP/853) (block)\n"), std::string::npos) << text;

    // The sublayer cannot go while its filters are there.
    EXPECT_EQ(deleteSublayer(engine, &wfpmodel::sublayerKey), wfpdouble::status::inUse);
    EXPECT_EQ(newRejections(), 1);
    for (UINT64 id : ids) {
        EXPECT_EQ(deleteFilter(engine, id), 0u);
    }
    EXPECT_EQ(deleteSublayer(engine, &wfpmodel::sublayerKey), 0u);
    EXPECT_EQ(close(engine), 0u);
    EXPECT_EQ(newRejections(), 1);
}

TEST_F(StandinTest, WrongSessionIsRefused) {
    HANDLE engine = openSession(L"Some other session");
    EXPECT_NE(lastStatus, 0u);
    EXPECT_EQ(engine, nullptr);
    engine = openSession(L"Orvanet WFP session", 0); // not dynamic
    EXPECT_NE(lastStatus, 0u);
    EXPECT_EQ(engine, nullptr);
    EXPECT_EQ(newRejections(), 2);
}

TEST_F(StandinTest, WrongSublayerIsRefused) {
    HANDLE engine = openSession();
    ASSERT_NE(engine, nullptr);
    ASSERT_EQ(begin(engine, 0), 0u);
    EXPECT_NE(addTheSublayer(engine, 0x7FFF), 0u);
    EXPECT_EQ(newRejections(), 1);
    EXPECT_EQ(abort(engine), 0u);
    EXPECT_EQ(close(engine), 0u);
}

TEST_F(StandinTest, WrongBlockWeightIsRefused) {
    auto set = wfpmodel::twelveFilters(tunnel.index);
    set[3].weightValue = 15;
    expectFilterRefused(set, 3);
}

TEST_F(StandinTest, WrongOrderIsRefused) {
    auto set = wfpmodel::twelveFilters(tunnel.index);
    std::swap(set[0], set[1]);
    expectFilterRefused(set, 0);
}

TEST_F(StandinTest, IPv6RulesAtTheIPv4LayerAreRefused) {
    auto set = wfpmodel::twelveFilters(tunnel.index);
    set[6].layerKey = wfpmodel::layerV4;
    expectFilterRefused(set, 6);
}

TEST_F(StandinTest, AllowFilterNamingAnotherInterfaceIsRefused) {
    expectFilterRefused(wfpmodel::twelveFilters(tunnel.index + 1), 0);
}

TEST_F(StandinTest, MissingTunnelInterfaceRefusesTheAllowFilter) {
    useAlias(L"orvanet-no-such-interface");
    expectFilterRefused(wfpmodel::twelveFilters(tunnel.index), 0);
    EXPECT_NE(state()["last-rejection"].find("tunnel interface unknown"), std::string::npos);
}

TEST_F(StandinTest, HalfASetCannotBeCommitted) {
    HANDLE engine = openSession();
    ASSERT_NE(engine, nullptr);
    ASSERT_EQ(begin(engine, 0), 0u);
    ASSERT_EQ(addTheSublayer(engine), 0u);
    auto set = wfpmodel::twelveFilters(tunnel.index);
    set.resize(6);
    DWORD failed = 0;
    addFilters(engine, set, failed);
    ASSERT_EQ(failed, 0u);
    EXPECT_NE(commit(engine), 0u);
    EXPECT_EQ(newRejections(), 1);
    EXPECT_EQ(abort(engine), 0u);
    EXPECT_EQ(close(engine), 0u);
}

TEST_F(StandinTest, FilterOutsideATransactionIsRefused) {
    HANDLE engine = openSession();
    ASSERT_NE(engine, nullptr);
    DWORD failed = 0;
    const auto ids = addFilters(engine, wfpmodel::twelveFilters(tunnel.index), failed);
    EXPECT_NE(failed, 0u);
    EXPECT_TRUE(ids.empty());
    EXPECT_EQ(newRejections(), 1);
    EXPECT_EQ(close(engine), 0u);
}

} // namespace
