#include "WfpRecord.h"

namespace wfpdouble {
namespace {

std::optional<std::wstring> copyText(const wchar_t* text) {
    if (text == nullptr) {
        return std::nullopt;
    }
    return std::wstring(text);
}

// A type the filters never use reads as a value no expectation holds.
constexpr std::uint64_t unexpectedType = 0xDEADBEEF;

std::uint64_t valueOf(const FWP_CONDITION_VALUE0& value) {
    switch (value.type) {
    case FWP_UINT8:
        return value.uint8;
    case FWP_UINT16:
        return value.uint16;
    case FWP_UINT32:
        return value.uint32;
    case FWP_UINT64:
        return value.uint64 != nullptr ? *value.uint64 : 0;
    default:
        return unexpectedType;
    }
}

std::uint64_t valueOf(const FWP_VALUE0& value) {
    switch (value.type) {
    case FWP_UINT8:
        return value.uint8;
    case FWP_UINT16:
        return value.uint16;
    case FWP_UINT32:
        return value.uint32;
    default:
        return unexpectedType;
    }
}

} // namespace

Session recordSession(const FWPM_SESSION0& session) {
    Session copy;
    copy.sessionKey = session.sessionKey;
    copy.name = copyText(session.displayData.name);
    copy.description = copyText(session.displayData.description);
    copy.flags = session.flags;
    copy.txnWaitTimeoutInMSec = session.txnWaitTimeoutInMSec;
    copy.processId = session.processId;
    copy.sidNull = session.sid == nullptr;
    copy.usernameNull = session.username == nullptr;
    copy.kernelMode = session.kernelMode;
    return copy;
}

Sublayer recordSublayer(const FWPM_SUBLAYER0& subLayer) {
    Sublayer copy;
    copy.subLayerKey = subLayer.subLayerKey;
    copy.name = copyText(subLayer.displayData.name);
    copy.description = copyText(subLayer.displayData.description);
    copy.flags = subLayer.flags;
    copy.providerKeyNull = subLayer.providerKey == nullptr;
    copy.providerDataSize = subLayer.providerData.size;
    copy.providerDataNull = subLayer.providerData.data == nullptr;
    copy.weight = subLayer.weight;
    return copy;
}

Filter recordFilter(const FWPM_FILTER0& filter) {
    Filter copy;
    copy.filterKey = filter.filterKey;
    copy.name = copyText(filter.displayData.name);
    copy.description = copyText(filter.displayData.description);
    copy.flags = filter.flags;
    copy.providerKeyNull = filter.providerKey == nullptr;
    copy.providerDataSize = filter.providerData.size;
    copy.providerDataNull = filter.providerData.data == nullptr;
    copy.layerKey = filter.layerKey;
    copy.subLayerKey = filter.subLayerKey;
    copy.weightType = filter.weight.type;
    copy.weightValue = valueOf(filter.weight);
    copy.numFilterConditions = filter.numFilterConditions;
    for (UINT32 i = 0; i < filter.numFilterConditions && filter.filterCondition != nullptr; ++i) {
        const FWPM_FILTER_CONDITION0& c = filter.filterCondition[i];
        copy.conditions.push_back(
            {c.fieldKey, c.matchType, c.conditionValue.type, valueOf(c.conditionValue)});
    }
    copy.actionType = filter.action.type;
    copy.actionFilterType = filter.action.filterType;
    copy.rawContext = filter.rawContext;
    return copy;
}

} // namespace wfpdouble
