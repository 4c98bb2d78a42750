#include "WfpDouble.h"

#include <map>

namespace wfpdouble {
namespace {

struct Owned {
    std::set<UINT64> filters;
    std::set<std::string> sublayers;
};

struct Engine {
    bool inTransaction = false;
    Owned pending;   // added in the open transaction
    Owned committed; // dynamic: lives until the session closes
};

struct Plan {
    std::string name;
    int occurrence = 0;
    DWORD status = 0;
};

struct State {
    std::vector<Call> calls;
    std::vector<Plan> plans;
    std::map<std::string, int> counts;
    bool nullHandle = false;
    std::uintptr_t nextHandle = 0x4000;
    UINT64 nextFilterId = 70001;
    std::map<HANDLE, Engine> engines;
    std::set<std::string> seeded;
};

State& state() {
    static State s;
    return s;
}

// Records the call and says whether the plan makes it fail (and with what).
std::optional<DWORD> begin(Call call) {
    State& s = state();
    const int n = ++s.counts[call.name];
    std::optional<DWORD> planned;
    for (const Plan& plan : s.plans) {
        if (plan.name == call.name && plan.occurrence == n) {
            planned = plan.status;
        }
    }
    call.status = planned.value_or(0);
    s.calls.push_back(std::move(call));
    return planned;
}

Call& last() {
    return state().calls.back();
}

bool sublayerExists(const std::string& key) {
    const State& s = state();
    if (s.seeded.count(key) != 0) {
        return true;
    }
    for (const auto& [handle, engine] : s.engines) {
        if (engine.pending.sublayers.count(key) || engine.committed.sublayers.count(key)) {
            return true;
        }
    }
    return false;
}

Engine* engineOf(HANDLE handle) {
    auto found = state().engines.find(handle);
    return found == state().engines.end() ? nullptr : &found->second;
}

Owned& target(Engine& engine) {
    return engine.inTransaction ? engine.pending : engine.committed;
}

} // namespace

void reset() {
    state() = State{};
}

void failOn(const std::string& callName, int occurrence, DWORD status) {
    state().plans.push_back({callName, occurrence, status});
}

void nullHandleOnOpen() {
    state().nullHandle = true;
}

void seedSublayer(const GUID& key) {
    state().seeded.insert(guidText(key));
}

const std::vector<Call>& calls() {
    return state().calls;
}

std::vector<std::string> callNames() {
    std::vector<std::string> names;
    for (const Call& call : state().calls) {
        names.push_back(call.name);
    }
    return names;
}

std::vector<const Filter*> addedFilters() {
    std::vector<const Filter*> filters;
    for (const Call& call : state().calls) {
        if (call.filter) {
            filters.push_back(&*call.filter);
        }
    }
    return filters;
}

std::set<UINT64> liveFilters() {
    std::set<UINT64> live;
    for (const auto& [handle, engine] : state().engines) {
        live.insert(engine.pending.filters.begin(), engine.pending.filters.end());
        live.insert(engine.committed.filters.begin(), engine.committed.filters.end());
    }
    return live;
}

std::set<std::string> liveSublayers() {
    std::set<std::string> live = state().seeded;
    for (const auto& [handle, engine] : state().engines) {
        live.insert(engine.pending.sublayers.begin(), engine.pending.sublayers.end());
        live.insert(engine.committed.sublayers.begin(), engine.committed.sublayers.end());
    }
    return live;
}

std::size_t openEngines() {
    return state().engines.size();
}

bool nothingLeft() {
    return openEngines() == 0 && liveFilters().empty() && liveSublayers() == state().seeded;
}

} // namespace wfpdouble

using namespace wfpdouble;

extern "C" {

DWORD WINAPI FwpmEngineOpen0(const wchar_t* serverName, UINT32 authnService,
                             SEC_WINNT_AUTH_IDENTITY_W* authIdentity, const FWPM_SESSION0* session,
                             HANDLE* engineHandle) {
    Call call;
    call.name = "FwpmEngineOpen0";
    call.serverNameNull = serverName == nullptr;
    call.authnService = authnService;
    call.authIdentityNull = authIdentity == nullptr;
    if (session != nullptr) {
        call.session = recordSession(*session);
    }
    if (auto failed = begin(std::move(call))) {
        return *failed;
    }
    State& s = state();
    if (s.nullHandle) {
        s.nullHandle = false;
        *engineHandle = nullptr;
        return 0;
    }
    HANDLE handle = reinterpret_cast<HANDLE>(s.nextHandle);
    s.nextHandle += 4;
    s.engines[handle] = Engine{};
    *engineHandle = handle;
    last().engine = handle;
    return 0;
}

DWORD WINAPI FwpmEngineClose0(HANDLE engineHandle) {
    Call call;
    call.name = "FwpmEngineClose0";
    call.engine = engineHandle;
    if (auto failed = begin(std::move(call))) {
        return *failed;
    }
    // A dynamic session takes every object it added with it, and an open transaction ends.
    return state().engines.erase(engineHandle) == 1 ? 0 : ERROR_INVALID_HANDLE;
}

DWORD WINAPI FwpmTransactionBegin0(HANDLE engineHandle, UINT32 flags) {
    Call call;
    call.name = "FwpmTransactionBegin0";
    call.engine = engineHandle;
    call.flags = flags;
    if (auto failed = begin(std::move(call))) {
        return *failed;
    }
    Engine* engine = engineOf(engineHandle);
    if (engine == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    engine->inTransaction = true;
    return 0;
}

DWORD WINAPI FwpmTransactionCommit0(HANDLE engineHandle) {
    Call call;
    call.name = "FwpmTransactionCommit0";
    call.engine = engineHandle;
    if (auto failed = begin(std::move(call))) {
        return *failed;
    }
    Engine* engine = engineOf(engineHandle);
    if (engine == nullptr || !engine->inTransaction) {
        return 0x8032000D; // FWP_E_NO_TXN_IN_PROGRESS
    }
    engine->committed.filters.merge(engine->pending.filters);
    engine->committed.sublayers.merge(engine->pending.sublayers);
    engine->pending = Owned{};
    engine->inTransaction = false;
    return 0;
}

DWORD WINAPI FwpmTransactionAbort0(HANDLE engineHandle) {
    Call call;
    call.name = "FwpmTransactionAbort0";
    call.engine = engineHandle;
    if (auto failed = begin(std::move(call))) {
        return *failed;
    }
    Engine* engine = engineOf(engineHandle);
    if (engine == nullptr || !engine->inTransaction) {
        return 0x8032000D;
    }
    engine->pending = Owned{};
    engine->inTransaction = false;
    return 0;
}

DWORD WINAPI FwpmSubLayerAdd0(HANDLE engineHandle, const FWPM_SUBLAYER0* subLayer,
                              PSECURITY_DESCRIPTOR sd) {
    Call call;
    call.name = "FwpmSubLayerAdd0";
    call.engine = engineHandle;
    call.sdNull = sd == nullptr;
    call.sublayer = recordSublayer(*subLayer);
    if (auto failed = begin(std::move(call))) {
        return *failed;
    }
    Engine* engine = engineOf(engineHandle);
    if (engine == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    const std::string key = guidText(subLayer->subLayerKey);
    if (sublayerExists(key)) {
        last().status = 0x80320009;
        return 0x80320009;
    }
    target(*engine).sublayers.insert(key);
    return 0;
}

DWORD WINAPI FwpmSubLayerDeleteByKey0(HANDLE engineHandle, const GUID* key) {
    Call call;
    call.name = "FwpmSubLayerDeleteByKey0";
    call.engine = engineHandle;
    call.key = *key;
    if (auto failed = begin(std::move(call))) {
        return *failed;
    }
    const std::string text = guidText(*key);
    State& s = state();
    if (s.seeded.erase(text) == 1) {
        return 0;
    }
    for (auto& [handle, engine] : s.engines) {
        if (engine.committed.sublayers.erase(text) == 1 ||
            engine.pending.sublayers.erase(text) == 1) {
            return 0;
        }
    }
    return 0x80320008; // FWP_E_SUBLAYER_NOT_FOUND
}

DWORD WINAPI FwpmFilterAdd0(HANDLE engineHandle, const FWPM_FILTER0* filter,
                            PSECURITY_DESCRIPTOR sd, UINT64* id) {
    Call call;
    call.name = "FwpmFilterAdd0";
    call.engine = engineHandle;
    call.sdNull = sd == nullptr;
    call.filter = recordFilter(*filter);
    if (auto failed = begin(std::move(call))) {
        return *failed;
    }
    Engine* engine = engineOf(engineHandle);
    if (engine == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    const UINT64 newId = state().nextFilterId++;
    target(*engine).filters.insert(newId);
    *id = newId;
    last().filterId = newId;
    return 0;
}

DWORD WINAPI FwpmFilterDeleteById0(HANDLE engineHandle, UINT64 id) {
    Call call;
    call.name = "FwpmFilterDeleteById0";
    call.engine = engineHandle;
    call.filterId = id;
    if (auto failed = begin(std::move(call))) {
        return *failed;
    }
    for (auto& [handle, engine] : state().engines) {
        if (engine.committed.filters.erase(id) == 1 || engine.pending.filters.erase(id) == 1) {
            return 0;
        }
    }
    return 0x80320003; // FWP_E_FILTER_NOT_FOUND
}

} // extern "C"
