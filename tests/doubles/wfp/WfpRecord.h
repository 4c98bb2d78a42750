#pragma once

#include "WfpText.h"
#include "WfpTypes.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Deep copies of the WFP structures a caller hands over, in a form that compares with ==
// and outlives the call. Pointers the caller must leave null are kept only as "was null".
namespace wfpdouble {

struct Session {
    GUID sessionKey{};
    std::optional<std::wstring> name;
    std::optional<std::wstring> description;
    UINT32 flags = 0;
    UINT32 txnWaitTimeoutInMSec = 0;
    DWORD processId = 0;
    bool sidNull = true;
    bool usernameNull = true;
    BOOL kernelMode = FALSE;
    bool operator==(const Session&) const = default;
};

struct Sublayer {
    GUID subLayerKey{};
    std::optional<std::wstring> name;
    std::optional<std::wstring> description;
    UINT32 flags = 0;
    bool providerKeyNull = true;
    UINT32 providerDataSize = 0;
    bool providerDataNull = true;
    UINT16 weight = 0;
    bool operator==(const Sublayer&) const = default;
};

struct Condition {
    GUID fieldKey{};
    FWP_MATCH_TYPE matchType{};
    FWP_DATA_TYPE type{};
    std::uint64_t value = 0;
    bool operator==(const Condition&) const = default;
};

struct Filter {
    GUID filterKey{};
    std::optional<std::wstring> name;
    std::optional<std::wstring> description;
    UINT32 flags = 0;
    bool providerKeyNull = true;
    UINT32 providerDataSize = 0;
    bool providerDataNull = true;
    GUID layerKey{};
    GUID subLayerKey{};
    FWP_DATA_TYPE weightType{};
    std::uint64_t weightValue = 0;
    UINT32 numFilterConditions = 0;
    std::vector<Condition> conditions;
    FWP_ACTION_TYPE actionType{};
    GUID actionFilterType{};
    UINT64 rawContext = 0;
    bool operator==(const Filter&) const = default;
};

#ifdef _WIN32
Session recordSession(const FWPM_SESSION0& session);
Sublayer recordSublayer(const FWPM_SUBLAYER0& subLayer);
Filter recordFilter(const FWPM_FILTER0& filter);
#endif

} // namespace wfpdouble
