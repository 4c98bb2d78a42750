#include "CheckedPlatform.h"

#include "WfpExpected.h"

#include <cstdio>
#include <utility>

namespace {

using namespace wfpdouble::status;

constexpr DWORD nullPointer = 0x8032001C;
constexpr DWORD invalidFlags = 0x8032001E;
constexpr DWORD invalidParameter = 0x80320035;

constexpr int filterCount = 12;

std::string narrow(const std::optional<std::wstring>& text) {
    return text ? wfpdouble::asciiText(*text) : std::string("(null)");
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

DWORD CheckedPlatform::answer(const char* call, const wfpdouble::Answer& answer) {
    // An existing sublayer is the platform's ordinary answer to a second add, not a fault.
    if (answer.status == 0 || answer.status == alreadyExists) {
        return accept(call, answer.status);
    }
    return reject(call, answer.status, answer.why);
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
    *engineHandle = model.openEngine();
    return accept(call);
}

DWORD CheckedPlatform::engineClose(HANDLE engine) {
    return answer("FwpmEngineClose0", model.closeEngine(engine));
}

DWORD CheckedPlatform::transactionBegin(HANDLE handle, UINT32 flags) {
    const char* call = "FwpmTransactionBegin0";
    if (model.hasEngine(handle) && flags != 0) {
        return reject(call, invalidFlags, "flags " + number(flags) + ", expected 0");
    }
    return answer(call, model.beginTransaction(handle));
}

DWORD CheckedPlatform::transactionCommit(HANDLE handle) {
    const char* call = "FwpmTransactionCommit0";
    // Half a filter set would leave DNS blocked or open: only the whole set may become real.
    const int added = model.addedInTransaction(handle);
    if (model.inTransaction(handle) &&
        (added != filterCount ||
         !model.sublayerVisibleTo(handle, wfpdouble::guidText(wfpmodel::sublayerKey)))) {
        return reject(call, invalidParameter,
                      "transaction holds " + number(added) +
                          " filters, expected the sublayer and 12");
    }
    return answer(call, model.commitTransaction(handle));
}

DWORD CheckedPlatform::transactionAbort(HANDLE handle) {
    return answer("FwpmTransactionAbort0", model.abortTransaction(handle));
}

DWORD CheckedPlatform::subLayerAdd(HANDLE handle, const FWPM_SUBLAYER0* subLayer, bool sdNull) {
    const char* call = "FwpmSubLayerAdd0";
    if (!model.hasEngine(handle)) {
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
    if (!model.inTransaction(handle)) {
        return reject(call, invalidParameter, "sublayer added outside a transaction");
    }
    return answer(call, model.addSublayer(handle, subLayer->subLayerKey));
}

DWORD CheckedPlatform::subLayerDeleteByKey(HANDLE handle, const GUID* key) {
    const char* call = "FwpmSubLayerDeleteByKey0";
    if (!model.hasEngine(handle)) {
        return reject(call, invalidHandle, "unknown engine handle");
    }
    if (key == nullptr) {
        return reject(call, nullPointer, "key is null");
    }
    return answer(call, model.deleteSublayer(handle, *key));
}

DWORD CheckedPlatform::filterAdd(HANDLE handle, const FWPM_FILTER0* filter, bool sdNull,
                                 UINT64* id) {
    const char* call = "FwpmFilterAdd0";
    if (!model.hasEngine(handle)) {
        return reject(call, invalidHandle, "unknown engine handle");
    }
    if (filter == nullptr || id == nullptr) {
        return reject(call, nullPointer, "filter or id pointer is null");
    }
    if (!sdNull) {
        return reject(call, invalidParameter, "security descriptor given, expected null");
    }
    if (!model.inTransaction(handle)) {
        return reject(call, invalidParameter, "filter added outside a transaction");
    }
    const int position = model.addedInTransaction(handle);
    if (position >= filterCount) {
        return reject(call, invalidParameter, "more than 12 filters in one transaction");
    }
    std::string lookupError;
    const std::optional<UINT32> ifIndex = lookup(lookupError);
    if (!ifIndex) {
        return reject(call, invalidParameter, "tunnel interface unknown: " + lookupError);
    }
    const wfpdouble::Filter want = wfpmodel::twelveFilters(*ifIndex)[position];
    const std::string difference = filterDifference(wfpdouble::recordFilter(*filter), want);
    if (!difference.empty()) {
        return reject(call, invalidParameter,
                      "filter " + number(position + 1) + " of 12: " + difference);
    }
    return answer(call, model.addFilter(handle, wfpdouble::recordFilter(*filter), *id));
}

DWORD CheckedPlatform::filterDeleteById(HANDLE handle, UINT64 id) {
    return answer("FwpmFilterDeleteById0", model.deleteFilter(handle, id));
}
