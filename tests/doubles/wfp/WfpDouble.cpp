#include "WfpDouble.h"

#include "PlatformModel.h"

#include <map>

namespace wfpdouble {
namespace {

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
    PlatformModel platform{0x4000, 70001};
};

State& state() {
    static State s;
    return s;
}

PlatformModel& platform() {
    return state().platform;
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

// The model's answer, kept with the call it answers.
DWORD answered(const Answer& answer) {
    last().status = answer.status;
    return answer.status;
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
    platform().seedSublayer(key);
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
    for (const auto& [id, name] : platform().liveFilters()) {
        live.insert(id);
    }
    return live;
}

std::set<std::string> liveSublayers() {
    return platform().liveSublayers();
}

std::size_t openEngines() {
    return platform().openEngines();
}

bool nothingLeft() {
    return openEngines() == 0 && liveFilters().empty() &&
           liveSublayers() == platform().seededSublayers();
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
    *engineHandle = platform().openEngine();
    last().engine = *engineHandle;
    return 0;
}

DWORD WINAPI FwpmEngineClose0(HANDLE engineHandle) {
    Call call;
    call.name = "FwpmEngineClose0";
    call.engine = engineHandle;
    if (auto failed = begin(std::move(call))) {
        return *failed;
    }
    return answered(platform().closeEngine(engineHandle));
}

DWORD WINAPI FwpmTransactionBegin0(HANDLE engineHandle, UINT32 flags) {
    Call call;
    call.name = "FwpmTransactionBegin0";
    call.engine = engineHandle;
    call.flags = flags;
    if (auto failed = begin(std::move(call))) {
        return *failed;
    }
    return answered(platform().beginTransaction(engineHandle));
}

DWORD WINAPI FwpmTransactionCommit0(HANDLE engineHandle) {
    Call call;
    call.name = "FwpmTransactionCommit0";
    call.engine = engineHandle;
    if (auto failed = begin(std::move(call))) {
        return *failed;
    }
    return answered(platform().commitTransaction(engineHandle));
}

DWORD WINAPI FwpmTransactionAbort0(HANDLE engineHandle) {
    Call call;
    call.name = "FwpmTransactionAbort0";
    call.engine = engineHandle;
    if (auto failed = begin(std::move(call))) {
        return *failed;
    }
    return answered(platform().abortTransaction(engineHandle));
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
    return answered(platform().addSublayer(engineHandle, subLayer->subLayerKey));
}

DWORD WINAPI FwpmSubLayerDeleteByKey0(HANDLE engineHandle, const GUID* key) {
    Call call;
    call.name = "FwpmSubLayerDeleteByKey0";
    call.engine = engineHandle;
    call.key = *key;
    if (auto failed = begin(std::move(call))) {
        return *failed;
    }
    return answered(platform().deleteSublayer(engineHandle, *key));
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
    UINT64 newId = 0;
    const Answer answer = platform().addFilter(engineHandle, *last().filter, newId);
    if (answer.status == 0) {
        *id = newId;
        last().filterId = newId;
    }
    return answered(answer);
}

DWORD WINAPI FwpmFilterDeleteById0(HANDLE engineHandle, UINT64 id) {
    Call call;
    call.name = "FwpmFilterDeleteById0";
    call.engine = engineHandle;
    call.filterId = id;
    if (auto failed = begin(std::move(call))) {
        return *failed;
    }
    return answered(platform().deleteFilter(engineHandle, id));
}

} // extern "C"
