#include "CheckedPlatform.h"

#include "WfpExpected.h"

#include <cstdio>
#include <utility>

namespace {

constexpr DWORD invalidHandle = ERROR_INVALID_HANDLE;
constexpr DWORD filterNotFound = 0x80320003;
constexpr DWORD sublayerNotFound = 0x80320007;
constexpr DWORD alreadyExists = 0x80320009;
constexpr DWORD inUse = 0x8032000A;
constexpr DWORD noTransaction = 0x8032000D;
constexpr DWORD transactionInProgress = 0x8032000E;
constexpr DWORD nullPointer = 0x8032001C;
constexpr DWORD invalidFlags = 0x8032001E;
constexpr DWORD invalidParameter = 0x80320035;

constexpr int filterCount = 12;

std::string narrow(const std::optional<std::wstring>& text) {
    if (!text) {
        return "(null)";
    }
    std::string out;
    for (wchar_t c : *text) {
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

std::string number(std::uint64_t value) {
    return std::to_string(value);
}

std::string conditionText(const wfpdouble::Condition& c) {
    return wfpdouble::guidText(c.fieldKey) + " match " + number(c.matchType) + " type " +
           number(c.type) + " value " + number(c.value);
}

// The first field in which the filter differs from the expected one, or empty.
std::string filterDifference(const wfpdouble::Filter& got, const wfpdouble::Filter& want) {
    using wfpdouble::guidText;
    if (got.name != want.name) {
        return "name '" + narrow(got.name) + "', expected '" + narrow(want.name) + "'";
    }
    if (got.description != want.description) {
        return "description '" + narrow(got.description) + "', expected null";
    }
    if (got.filterKey != want.filterKey) {
        return "filterKey " + guidText(got.filterKey) + ", expected all zero";
    }
    if (got.flags != want.flags) {
        return "flags " + number(got.flags) + ", expected " + number(want.flags);
    }
    if (!got.providerKeyNull || got.providerDataSize != 0 || !got.providerDataNull) {
        return "provider key or data set, expected none";
    }
    if (got.layerKey != want.layerKey) {
        return "layer " + guidText(got.layerKey) + ", expected " + guidText(want.layerKey);
    }
    if (got.subLayerKey != want.subLayerKey) {
        return "sublayer " + guidText(got.subLayerKey) + ", expected " + guidText(want.subLayerKey);
    }
    if (got.weightType != want.weightType || got.weightValue != want.weightValue) {
        return "weight type " + number(got.weightType) + " value " + number(got.weightValue) +
               ", expected type " + number(want.weightType) + " value " + number(want.weightValue);
    }
    if (got.numFilterConditions != want.numFilterConditions) {
        return "numFilterConditions " + number(got.numFilterConditions) + ", expected " +
               number(want.numFilterConditions);
    }
    for (std::size_t i = 0; i < want.conditions.size() && i < got.conditions.size(); ++i) {
        if (got.conditions[i] != want.conditions[i]) {
            return "condition " + number(i + 1) + " " + conditionText(got.conditions[i]) +
                   ", expected " + conditionText(want.conditions[i]);
        }
    }
    if (got.actionType != want.actionType) {
        return "action " + number(got.actionType) + ", expected " + number(want.actionType);
    }
    if (got.actionFilterType != want.actionFilterType) {
        return "action.filterType " + guidText(got.actionFilterType) + ", expected all zero";
    }
    if (got.rawContext != want.rawContext) {
        return "rawContext " + number(got.rawContext) + ", expected 0";
    }
    return {};
}

std::string statusText(DWORD status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(status));
    return text;
}

} // namespace

CheckedPlatform::CheckedPlatform(IndexLookup indexLookup) : lookup(std::move(indexLookup)) {}

CheckedPlatform::Engine* CheckedPlatform::engineOf(HANDLE handle) {
    auto found = engines.find(handle);
    return found == engines.end() ? nullptr : &found->second;
}

bool CheckedPlatform::sublayerExists() const {
    for (const auto& [handle, engine] : engines) {
        if (engine.pending.sublayer || engine.committed.sublayer) {
            return true;
        }
    }
    return false;
}

bool CheckedPlatform::sublayerVisibleTo(const Engine& engine) const {
    if (engine.pending.sublayer) {
        return true;
    }
    for (const auto& [handle, other] : engines) {
        if (other.committed.sublayer) {
            return true;
        }
    }
    return false;
}

DWORD CheckedPlatform::reject(const char* call, DWORD status, const std::string& reason) {
    ++rejected;
    lastReason = std::string(call) + ": " + reason;
    lines.push_back(std::string(call) + " " + statusText(status) + " REJECTED " + reason);
    return status;
}

DWORD CheckedPlatform::accept(const char* call, DWORD status) {
    lines.push_back(std::string(call) + " " + statusText(status));
    return status;
}

DWORD CheckedPlatform::engineOpen(bool serverNameNull, UINT32 authnService, bool authIdentityNull,
                                  const FWPM_SESSION0* session, HANDLE* engineHandle) {
    const char* call = "FwpmEngineOpen0";
    if (engineHandle == nullptr || session == nullptr) {
        return reject(call, nullPointer, "session or handle pointer is null");
    }
    if (!serverNameNull || !authIdentityNull) {
        return reject(call, invalidParameter, "server name or identity given, expected null");
    }
    if (authnService != wfpmodel::authnWinNt) {
        return reject(call, invalidParameter,
                      "authentication service " + number(authnService) + ", expected 10");
    }
    const wfpdouble::Session got = wfpdouble::recordSession(*session);
    const wfpdouble::Session want = wfpmodel::session();
    if (got != want) {
        return reject(call, invalidParameter,
                      "session name '" + narrow(got.name) + "' description '" +
                          narrow(got.description) + "' flags " + number(got.flags) +
                          " does not match the dynamic DNS isolation session");
    }
    HANDLE handle = reinterpret_cast<HANDLE>(nextHandle);
    nextHandle += 4;
    engines[handle] = Engine{};
    *engineHandle = handle;
    return accept(call);
}

DWORD CheckedPlatform::engineClose(HANDLE engine) {
    // A dynamic session takes every object it added with it, and an open transaction ends.
    if (engines.erase(engine) != 1) {
        return reject("FwpmEngineClose0", invalidHandle, "unknown engine handle");
    }
    return accept("FwpmEngineClose0");
}

DWORD CheckedPlatform::transactionBegin(HANDLE handle, UINT32 flags) {
    const char* call = "FwpmTransactionBegin0";
    Engine* engine = engineOf(handle);
    if (engine == nullptr) {
        return reject(call, invalidHandle, "unknown engine handle");
    }
    if (flags != 0) {
        return reject(call, invalidFlags, "flags " + number(flags) + ", expected 0");
    }
    if (engine->inTransaction) {
        return reject(call, transactionInProgress, "a transaction is already open");
    }
    engine->inTransaction = true;
    engine->filtersInTransaction = 0;
    return accept(call);
}

DWORD CheckedPlatform::transactionCommit(HANDLE handle) {
    const char* call = "FwpmTransactionCommit0";
    Engine* engine = engineOf(handle);
    if (engine == nullptr) {
        return reject(call, invalidHandle, "unknown engine handle");
    }
    if (!engine->inTransaction) {
        return reject(call, noTransaction, "no transaction open");
    }
    // Half a filter set would leave DNS blocked or open: only the whole set may become real.
    if (engine->filtersInTransaction != filterCount || !sublayerVisibleTo(*engine)) {
        return reject(call, invalidParameter,
                      "transaction holds " + number(engine->filtersInTransaction) +
                          " filters, expected the sublayer and 12");
    }
    engine->committed.filters.merge(engine->pending.filters);
    engine->committed.sublayer = engine->committed.sublayer || engine->pending.sublayer;
    engine->pending = Objects{};
    engine->inTransaction = false;
    return accept(call);
}

DWORD CheckedPlatform::transactionAbort(HANDLE handle) {
    const char* call = "FwpmTransactionAbort0";
    Engine* engine = engineOf(handle);
    if (engine == nullptr) {
        return reject(call, invalidHandle, "unknown engine handle");
    }
    if (!engine->inTransaction) {
        return reject(call, noTransaction, "no transaction open");
    }
    engine->pending = Objects{};
    engine->inTransaction = false;
    return accept(call);
}

DWORD CheckedPlatform::subLayerAdd(HANDLE handle, const FWPM_SUBLAYER0* subLayer, bool sdNull) {
    const char* call = "FwpmSubLayerAdd0";
    Engine* engine = engineOf(handle);
    if (engine == nullptr) {
        return reject(call, invalidHandle, "unknown engine handle");
    }
    if (subLayer == nullptr) {
        return reject(call, nullPointer, "sublayer is null");
    }
    if (!sdNull) {
        return reject(call, invalidParameter, "security descriptor given, expected null");
    }
    const wfpdouble::Sublayer got = wfpdouble::recordSublayer(*subLayer);
    if (got != wfpmodel::sublayer()) {
        return reject(call, invalidParameter,
                      "sublayer " + wfpdouble::guidText(got.subLayerKey) + " name '" +
                          narrow(got.name) + "' description '" + narrow(got.description) +
                          "' flags " + number(got.flags) + " weight " + number(got.weight) +
                          " does not match the DNS isolation sublayer");
    }
    if (!engine->inTransaction) {
        return reject(call, invalidParameter, "sublayer added outside a transaction");
    }
    if (sublayerExists()) {
        return accept(call, alreadyExists);
    }
    engine->pending.sublayer = true;
    return accept(call);
}

DWORD CheckedPlatform::subLayerDeleteByKey(HANDLE handle, const GUID* key) {
    const char* call = "FwpmSubLayerDeleteByKey0";
    Engine* engine = engineOf(handle);
    if (engine == nullptr) {
        return reject(call, invalidHandle, "unknown engine handle");
    }
    if (key == nullptr) {
        return reject(call, nullPointer, "key is null");
    }
    if (*key != wfpmodel::sublayerKey) {
        return reject(call, sublayerNotFound, "unknown sublayer " + wfpdouble::guidText(*key));
    }
    if (!liveFilters().empty()) {
        return reject(call, inUse, "filters still in the sublayer");
    }
    for (auto& [h, e] : engines) {
        if (e.committed.sublayer || e.pending.sublayer) {
            e.committed.sublayer = false;
            e.pending.sublayer = false;
            return accept(call);
        }
    }
    return reject(call, sublayerNotFound, "sublayer does not exist");
}

DWORD CheckedPlatform::filterAdd(HANDLE handle, const FWPM_FILTER0* filter, bool sdNull,
                                 UINT64* id) {
    const char* call = "FwpmFilterAdd0";
    Engine* engine = engineOf(handle);
    if (engine == nullptr) {
        return reject(call, invalidHandle, "unknown engine handle");
    }
    if (filter == nullptr || id == nullptr) {
        return reject(call, nullPointer, "filter or id pointer is null");
    }
    if (!sdNull) {
        return reject(call, invalidParameter, "security descriptor given, expected null");
    }
    if (!engine->inTransaction) {
        return reject(call, invalidParameter, "filter added outside a transaction");
    }
    if (engine->filtersInTransaction >= filterCount) {
        return reject(call, invalidParameter, "more than 12 filters in one transaction");
    }
    std::string lookupError;
    const std::optional<UINT32> ifIndex = lookup(lookupError);
    if (!ifIndex) {
        return reject(call, invalidParameter, "tunnel interface unknown: " + lookupError);
    }
    const int position = engine->filtersInTransaction;
    const wfpdouble::Filter want = wfpmodel::twelveFilters(*ifIndex)[position];
    const std::string difference = filterDifference(wfpdouble::recordFilter(*filter), want);
    if (!difference.empty()) {
        return reject(call, invalidParameter,
                      "filter " + number(position + 1) + " of 12: " + difference);
    }
    if (!sublayerVisibleTo(*engine)) {
        return reject(call, sublayerNotFound, "the filter's sublayer does not exist");
    }
    const UINT64 newId = nextFilterId++;
    engine->pending.filters[newId] = *want.name;
    ++engine->filtersInTransaction;
    *id = newId;
    return accept(call);
}

DWORD CheckedPlatform::filterDeleteById(HANDLE handle, UINT64 id) {
    const char* call = "FwpmFilterDeleteById0";
    if (engineOf(handle) == nullptr) {
        return reject(call, invalidHandle, "unknown engine handle");
    }
    for (auto& [h, engine] : engines) {
        if (engine.committed.filters.erase(id) == 1 || engine.pending.filters.erase(id) == 1) {
            return accept(call);
        }
    }
    return reject(call, filterNotFound, "no filter " + number(id));
}

std::size_t CheckedPlatform::openTransactions() const {
    std::size_t open = 0;
    for (const auto& [handle, engine] : engines) {
        open += engine.inTransaction ? 1 : 0;
    }
    return open;
}

std::vector<CheckedPlatform::LiveFilter> CheckedPlatform::liveFilters() const {
    std::vector<LiveFilter> live;
    for (const auto& [handle, engine] : engines) {
        for (const Objects* objects : {&engine.committed, &engine.pending}) {
            for (const auto& [id, name] : objects->filters) {
                live.push_back({id, name});
            }
        }
    }
    return live;
}

std::size_t CheckedPlatform::liveSublayers() const {
    return sublayerExists() ? 1 : 0;
}
